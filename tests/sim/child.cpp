// A child program for the tests of the simulated machine's processes: writes
// each argument in brackets to standard output ("big" as the first argument
// adds 300,000 bytes) and exits with the first argument's number.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char **argv) {
  std::string out;
  for (int i = 1; i < argc; i++) {
    out += "[" + std::string(argv[i]) + "]";
  }
  if (argc > 1 && std::strcmp(argv[1], "big") == 0) {
    out.append(300000, 'x');
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return argc > 1 ? std::atoi(argv[1]) : 0;
}
