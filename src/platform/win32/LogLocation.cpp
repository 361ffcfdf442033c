#include "platform/LogLocation.h"

std::string LogMarkerPath() { return "C:\\temp\\tracelog.is"; }

std::string LogFilePath(const char* fileName) { return std::string("C:\\temp\\") + fileName; }

const char kLogAppendMode[] = "at";
