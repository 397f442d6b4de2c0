#pragma once
// Machine facts an envelope records at the moment it is filled, as the
// platform reports them. Safe on any thread.

#include <cstdint>
#include <string>

namespace Vextra::platform {

// The current time zone's standard bias in minutes (UTC = local + bias, so a
// zone east of UTC is negative) and its standard name as UTF-8. False, with 0
// and the empty name, when the system cannot say.
bool ReadTimeZone(int32_t* bias_minutes, std::string* standard_name);

// Width and height of the primary screen in pixels; 0 for a dimension the
// system cannot report (no display).
void ReadScreenSize(int32_t* width, int32_t* height);

}  // namespace Vextra::platform
