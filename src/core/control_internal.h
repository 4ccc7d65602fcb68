#pragma once

namespace krv {

// The control thread's read buffer: one read takes up to this many bytes.
constexpr int kCommandBufferSize = 1024;

// read_navCtlPipe, except that right after its open it gives up (0, nothing
// read) when give_up() says so. A writer's bounded open waits for exactly
// that open, so a cancel stored before it is seen here, and one stored
// after it comes with a writer whose coming and going ends the wait.
int read_ctl_pipe(char* buffer, bool (*give_up)());

// wirte_navCtlPipe; with `bounded` the open gives up when no reader comes
// while the control thread is alive (or after 3 s) instead of blocking.
int write_ctl_command(const char* command, bool bounded);

}  // namespace krv
