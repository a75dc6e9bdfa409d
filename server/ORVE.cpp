#include "server/OrveProcess.h"
#include "win/version.h"
#include "win/resource.h"

int main(int argc, char** argv) {
  orvwin::RegisterFileVersion(orvwin::ThisModule(), 1, 0, 2, 1);
  return OrveMain(argc, argv);
}
