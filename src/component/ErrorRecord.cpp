#include "component/ErrorRecord.h"

namespace xmodemquarvel {

ErrorRecord& ThreadErrorRecord() {
  thread_local ErrorRecord record;
  return record;
}

}  // namespace xmodemquarvel
