#include <xmodemquarvel/xmodemquarvel.h>

#include <iostream>

int main() {
  xmodemquarvel::ModuleXmodem module;
  module.DataType("A");
  if (module.DataType() != "A") return 1;
  std::cout << module.Caption() << "\n";
  return 0;
}
