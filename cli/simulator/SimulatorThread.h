#pragma once

#include <thread>

#include "simulator/SimulatorHost.h"

namespace xmodemq {

// The simulator on its own thread for the life of the object.
class SimulatorThread {
 public:
  explicit SimulatorThread(const SimulatorOptions& options) : host_(options) {
    thread_ = std::thread([this] { host_.Run(); });
  }
  ~SimulatorThread() {
    host_.Stop();
    thread_.join();
  }
  SimulatorThread(const SimulatorThread&) = delete;
  SimulatorThread& operator=(const SimulatorThread&) = delete;
  SimulatorHost& Host() { return host_; }

 private:
  SimulatorHost host_;
  std::thread thread_;
};

}  // namespace xmodemq
