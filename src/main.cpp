#include <cstdio>

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  std::fprintf(stderr, "tav_setup: the application shell is not built yet\n");
  return 2;
}
