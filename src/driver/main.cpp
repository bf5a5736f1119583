#include "driver/driver.hpp"

int main(int argc, char** argv) { return chainmelt::Main(argc, argv); }
