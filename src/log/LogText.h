// SPDX-License-Identifier: MIT
// The library's Chinese log texts, held as their GBK (code page 936) bytes so
// that every compiler produces the same bytes on every platform. The readable
// text stands beside each one.
#pragma once

namespace LogText {

extern const char kRecordFileOpenError[];
extern const char kRecordFileCloseError[];
extern const char kRecordFileWriteError[];
extern const char kRecordFileTooLarge[];
extern const char kRecThreadAlreadyStarted[];
extern const char kRecThreadOpenError[];
extern const char kRecThreadStopped[];
extern const char kRecDeviceAlreadyOpen[];
extern const char kRecDeviceOpenError[];
extern const char kRecBufferError[];
extern const char kRecResetError[];
extern const char kRecPrepareError[];
extern const char kRecAddBufferError[];
extern const char kRecOpenDeviceError[];
extern const char kRecStartError[];
extern const char kRecAlreadyOpenError[];
extern const char kRecCloseError[];
extern const char kRecReleaseBufferError[];
extern const char kRecDeviceNotOpen[];
extern const char kRecDeviceOpened[];
extern const char kRecDeviceClosed[];
extern const char kPlayFileOpenError[];
extern const char kPlayDeviceOpenError[];

// The UTF-8 twin of one of the texts above; any other text as it is.
const char* InUtf8(const char* text);

} // namespace LogText
