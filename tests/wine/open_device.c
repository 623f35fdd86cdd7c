/* A Windows client of the loaded driver for the Wine smoke test: opens the
 * device by its link (\\.\Dorvane, no image name below it) and reports the
 * outcome in its exit status:
 *   0  the open failed with ERROR_INVALID_PARAMETER: the driver's refusal of
 *      a create without a file name (STATUS_INVALID_PARAMETER), as Windows
 *      reports it;
 *   2  the open succeeded: Wine 8 hands out the handle without waiting for
 *      the driver's create result;
 *   3  no such device (ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND): the
 *      link is gone;
 *   1  anything else. */
#include <stdio.h>
#include <windows.h>

int main(void) {
  HANDLE device = CreateFileW(L"\\\\.\\Dorvane", GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (device != INVALID_HANDLE_VALUE) {
    printf("open_device: \\\\.\\Dorvane opened\n");
    CloseHandle(device);
    return 2;
  }
  DWORD error = GetLastError();
  printf("open_device: \\\\.\\Dorvane error %lu\n", (unsigned long)error);
  if (error == ERROR_INVALID_PARAMETER) return 0;
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 3;
  return 1;
}
