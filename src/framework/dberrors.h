// The dataset framework's own error messages and the way it raises them.
#pragma once

#include <string>

#include "framework/classes.h"

inline constexpr const char* SDataSetClosed = "Cannot perform this operation on a closed dataset";
inline constexpr const char* SDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* SFieldNotFound = "Field '%s' not found";

// Raises EDatabaseError with `message`; when `component` has a name the
// message reads "<name>: <message>", as the framework's own checks do.
[[noreturn]] void DatabaseError(const std::string& message, const TComponent* component = nullptr);
