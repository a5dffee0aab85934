// TMainForm on Win32.
#pragma once

#include <string>

#include "app/PromptWindow.h"

namespace green {

// A TRunPromptWindow: shows the form and runs the message loop until it is
// closed. Exceptions raised in its window procedure come out here.
TPromptResult RunPromptWindow(const TMainFormLayout& Layout, const std::string& Url, const TPromptHooks& Hooks);

}  // namespace green
