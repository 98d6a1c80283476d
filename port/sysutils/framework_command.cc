#include <sysutils/FrameworkCommand.h>

FrameworkCommand::FrameworkCommand(const char* cmd) : command_(cmd != nullptr ? cmd : "") {}
