#pragma once

namespace zp::entry {

// The windowed application: the event loop, with one Launcher as the application's
// delegate. Returns 0 once the loop has ended.
int runWindowed();

}  // namespace zp::entry
