// Entry point of the rekasto command-line tool.
#include <unistd.h>

#include <iostream>

#include "cli.h"

int main(int argc, char** argv) {
  // The commands write through std::cout only: its own buffer beats stdio's, line by line.
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  rekasto::Io io{std::cout, std::cerr, paradox::DefaultFileSystem(), isatty(STDERR_FILENO) == 1};
  int code = rekasto::RunCli(args, io);
  std::cout.flush();
  return code;
}
