// Runs its arguments as a command with SIGCHLD ignored, as a parent that ignores it
// passes that on through exec.
#include <signal.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  ::signal(SIGCHLD, SIG_IGN);
  ::execv(argv[1], argv + 1);
  return 127;
}
