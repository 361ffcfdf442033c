// SPDX-License-Identifier: MIT
#pragma once

// The framework's application object, as far as a library uses it: the
// platform's attach and detach notifications reach InitInstance and
// ExitInstance of the one application object.
class CWinApp {
public:
    virtual ~CWinApp() = default;
    virtual int InitInstance() { return 1; }
    virtual int ExitInstance() { return 0; }
};
