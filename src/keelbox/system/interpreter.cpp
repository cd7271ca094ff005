#include "keelbox/system/interpreter.hpp"

#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {

BaseInterpreter base_interpreter() { throw RuntimeError("not implemented"); }
void check_python_version_supported() {}

}  // namespace keelbox
