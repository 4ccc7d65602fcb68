#pragma once

namespace krv {

// wirte_navCtlPipe; with `bounded` the open gives up when no reader comes
// while the control thread is alive (or after 3 s) instead of blocking.
int write_ctl_command(const char* command, bool bounded);

}  // namespace krv
