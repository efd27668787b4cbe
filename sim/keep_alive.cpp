// Sleeps until it is ended. Wine ends a prefix's services as soon as no ordinary process is
// left in it, so the test bed keeps one of these running while a service must run.
#include <windows.h>

int wmain() {
  Sleep(INFINITE);
  return 0;
}
