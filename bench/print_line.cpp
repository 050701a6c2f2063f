// The reference for the command-line modes: a C++ program that prints one line and ends.
#include <iostream>

int main() {
  std::cout << "{\"mode\":\"preview\"}\n";
  return 0;
}
