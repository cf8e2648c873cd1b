// Replaced by the simulated serial port.
