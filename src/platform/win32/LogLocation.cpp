#include "platform/LogLocation.h"

std::string LogFolder() { return "C:\\temp\\"; }

const char kLogAppendMode[] = "at";
