/* A Windows client of the driver through its filter (filter/filter_control.h)
 * for the Wine data-path test: reads a table of operations on standard input,
 * one a line, runs each on the image open at that point and checks it
 * against a model of the virtual disk, printing "ok" or "FAIL" with the line.
 * Exit status 0 when every line passed.
 *
 *   open PATH rw|ro     set the filter's open (the image's NT path) and open
 *                       \\.\Dorvane; the model is read whole through it
 *   close
 *   write OFF LEN SEED  write LEN bytes of the pattern SEED at OFF
 *   read OFF LEN        read and compare with the model
 *   size N              the standard information's end of file is N
 *   name                the name query answers the open's path
 *   position N          set the position to N, and query it back
 *   grow N              set the end of file to N (the model grows by zeros)
 *   zero OFF LEN        zero-data request
 *   trim OFF LEN        file-level trim
 *   dsmtrim OFF LEN     data-set-management trim (a device control)
 *   flush
 *   merge LEVELS        the private merge code, 4 blocks a request, until no
 *                       block remains
 *   dump FILE           the whole disk read through the driver into FILE
 *   compare FILE        the model equals FILE's bytes (another reader's)
 *
 * Any line may end with "!STATUS", the NTSTATUS (hex) the driver must answer;
 * the model is then left unchanged. Offsets and lengths are decimal bytes. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winternl.h>

#include "filter/filter_control.h"

NTSTATUS NTAPI NtReadFile(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                          PLARGE_INTEGER, PULONG);
NTSTATUS NTAPI NtWriteFile(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                           PLARGE_INTEGER, PULONG);
NTSTATUS NTAPI NtFlushBuffersFile(HANDLE, PIO_STATUS_BLOCK);

#define ZERO_DATA_CODE 0x000980C8u      /* FSCTL_SET_ZERO_DATA */
#define FILE_LEVEL_TRIM_CODE 0x00098208u /* FSCTL_FILE_LEVEL_TRIM */
#define DATA_SET_CODE 0x002D9404u        /* IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES */
#define MERGE_CODE 0x0009A564u           /* the driver's private merge code */
static const unsigned char GuardGuid[16] = {0x41, 0x8F, 0x2E, 0x5D, 0x36, 0x7A, 0x0B, 0x4C,
                                            0x9E, 0x1D, 0x63, 0xF4, 0xA0, 0xB2, 0xC8, 0x57};

static HANDLE Control = INVALID_HANDLE_VALUE;
static HANDLE Image = INVALID_HANDLE_VALUE;
static WCHAR OpenPath[512];
static unsigned char *Model;
static unsigned long long DiskSize;
static unsigned char Forwarded[DORVFILT_FORWARD_HEAD_SIZE + 4096];

static void Pattern(unsigned char *Buffer, unsigned long Length, unsigned long Seed) {
  unsigned long State = Seed * 2654435761u + 1;
  for (unsigned long Index = 0; Index < Length; ++Index) {
    State = State * 1103515245u + 12345u;
    Buffer[Index] = (unsigned char)(State >> 16);
  }
}

/* One request through the filter's forward: Data in, Data out. */
static NTSTATUS Forward(unsigned Major, unsigned Code, const void *In, unsigned InLength,
                        void *Out, unsigned OutLength, unsigned *Information) {
  DORVFILT_FORWARD_HEAD Head = {Major, Code, InLength, OutLength, 0, 0};
  unsigned Data = InLength > OutLength ? InLength : OutLength;
  DWORD Returned = 0;
  memcpy(Forwarded, &Head, sizeof(Head));
  memset(Forwarded + sizeof(Head), 0, Data);
  if (InLength != 0) memcpy(Forwarded + sizeof(Head), In, InLength);
  if (!DeviceIoControl(Image, DORVFILT_FORWARD, Forwarded, sizeof(Head) + Data, Forwarded,
                       sizeof(Head) + Data, &Returned, NULL)) {
    printf("  the filter refused the forward (error %lu)\n", GetLastError());
    return (NTSTATUS)0xC0000001;
  }
  memcpy(&Head, Forwarded, sizeof(Head));
  if (Out != NULL) memcpy(Out, Forwarded + sizeof(Head), OutLength);
  if (Information != NULL) *Information = Head.Information;
  return Head.Status;
}

static NTSTATUS Transfer(int Write, unsigned long long Offset, void *Buffer, ULONG Length) {
  IO_STATUS_BLOCK Io;
  LARGE_INTEGER At;
  At.QuadPart = (LONGLONG)Offset;
  NTSTATUS Status = Write ? NtWriteFile(Image, NULL, NULL, NULL, &Io, Buffer, Length, &At, NULL)
                          : NtReadFile(Image, NULL, NULL, NULL, &Io, Buffer, Length, &At, NULL);
  if (Status == 0 && Io.Information != Length) return (NTSTATUS)0xC0000010;
  return Status;
}

static NTSTATUS QuerySize(unsigned long long *Size) {
  FILE_STANDARD_INFORMATION Standard;
  NTSTATUS Status = Forward(DORVFILT_FORWARD_QUERY, 5 /* FileStandardInformation */, NULL, 0,
                            &Standard, sizeof(Standard), NULL);
  *Size = (unsigned long long)Standard.EndOfFile.QuadPart;
  return Status;
}

static int Check(int Passed, const char *What) {
  if (!Passed) printf("  %s\n", What);
  return Passed;
}

static NTSTATUS Open(const char *Path, const char *Mode) {
  unsigned char Buffer[DORVFILT_OPEN_HEAD_SIZE + sizeof(OpenPath)];
  DORVFILT_OPEN Open = {FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                        FILE_SHARE_READ, 1 /* FILE_OPEN */, 0x60 /* non-directory, synchronous */,
                        0};
  if (strcmp(Mode, "rw") == 0) Open.DesiredAccess |= FILE_WRITE_DATA | DELETE;
  int Count = MultiByteToWideChar(CP_UTF8, 0, Path, -1, OpenPath, 511) - 1;
  Open.NameLength = (unsigned)Count * sizeof(WCHAR);
  memcpy(Buffer, &Open, sizeof(Open));
  memcpy(Buffer + sizeof(Open), OpenPath, Open.NameLength);
  DWORD Returned;
  if (!DeviceIoControl(Control, DORVFILT_SET_OPEN, Buffer, sizeof(Open) + Open.NameLength,
                       NULL, 0, &Returned, NULL)) {
    printf("  the filter refused the open (error %lu)\n", GetLastError());
    return (NTSTATUS)0xC0000001;
  }
  Image = CreateFileW(L"\\\\.\\Dorvane", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                      OPEN_EXISTING, 0, NULL);
  if (Image == INVALID_HANDLE_VALUE) {
    printf("  \\\\.\\Dorvane does not open (error %lu)\n", GetLastError());
    return (NTSTATUS)0xC0000001;
  }
  /* A system may hand out the handle before the driver answered. */
  LONG Created = 0x103;
  for (int Try = 0; Try < 100 && Created == 0x103; ++Try) {
    if (!DeviceIoControl(Control, DORVFILT_LAST_CREATE, NULL, 0, &Created, sizeof(Created),
                         &Returned, NULL)) {
      return (NTSTATUS)0xC0000001;
    }
    if (Created == 0x103) Sleep(10);
  }
  if (Created != 0) return Created;
  NTSTATUS Status = QuerySize(&DiskSize);
  if (Status != 0) return Status;
  Model = realloc(Model, DiskSize);
  return Transfer(0, 0, Model, (ULONG)DiskSize);
}

static NTSTATUS Grow(unsigned long long Size) {
  LARGE_INTEGER End;
  End.QuadPart = (LONGLONG)Size;
  NTSTATUS Status =
      Forward(DORVFILT_FORWARD_SET, 20 /* FileEndOfFileInformation */, &End, sizeof(End), NULL,
              0, NULL);
  if (Status != 0) return Status;
  Model = realloc(Model, Size);
  memset(Model + DiskSize, 0, Size - DiskSize);
  DiskSize = Size;
  return 0;
}

static NTSTATUS Trim(const char *Kind, unsigned long long Offset, unsigned long long Length) {
  unsigned long long Range[2] = {Offset, Length};
  unsigned char Buffer[64];
  memset(Buffer, 0, sizeof(Buffer));
  if (strcmp(Kind, "zero") == 0) {
    unsigned long long ZeroData[2] = {Offset, Offset + Length};
    return Forward(DORVFILT_FORWARD_FS_CONTROL, ZERO_DATA_CODE, ZeroData, sizeof(ZeroData), NULL,
                   0, NULL);
  }
  if (strcmp(Kind, "trim") == 0) {
    unsigned Count = 1;
    memcpy(Buffer + 4, &Count, sizeof(Count));
    memcpy(Buffer + 8, Range, sizeof(Range));
    return Forward(DORVFILT_FORWARD_FS_CONTROL, FILE_LEVEL_TRIM_CODE, Buffer, 24, NULL, 0, NULL);
  }
  /* DEVICE_MANAGE_DATA_SET_ATTRIBUTES head (28 bytes, ranges at 32), sent as
   * the device control a client sends. */
  unsigned Head[7] = {28, 1 /* trim */, 0, 0, 0, 32, sizeof(Range)};
  memcpy(Buffer, Head, sizeof(Head));
  memcpy(Buffer + 32, Range, sizeof(Range));
  IO_STATUS_BLOCK Io;
  return NtDeviceIoControlFile(Image, NULL, NULL, NULL, &Io, DATA_SET_CODE, Buffer, 48, NULL, 0);
}

static NTSTATUS Merge(unsigned Levels) {
  for (int Round = 0; Round < 10000; ++Round) {
    unsigned char Buffer[24];
    unsigned Limit = 4;
    memcpy(Buffer, GuardGuid, 16);
    memcpy(Buffer + 16, &Levels, 4);
    memcpy(Buffer + 20, &Limit, 4);
    NTSTATUS Status = Forward(DORVFILT_FORWARD_FS_CONTROL, MERGE_CODE, Buffer, 24, Buffer, 24,
                              NULL);
    unsigned Remaining;
    memcpy(&Remaining, Buffer + 20, 4);
    if (Status != 0 || Remaining == 0) return Status;
  }
  return (NTSTATUS)0xC0000001;
}

static NTSTATUS Dump(const char *Path) {
  HANDLE File = CreateFileA(Path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (File == INVALID_HANDLE_VALUE) return (NTSTATUS)0xC0000001;
  unsigned char *Disk = malloc(DiskSize);
  NTSTATUS Status = Transfer(0, 0, Disk, (ULONG)DiskSize);
  DWORD Written = 0;
  if (Status == 0 && (!WriteFile(File, Disk, (DWORD)DiskSize, &Written, NULL) ||
                      Written != DiskSize)) {
    Status = (NTSTATUS)0xC0000001;
  }
  CloseHandle(File);
  if (Status == 0 && !Check(memcmp(Disk, Model, DiskSize) == 0, "the disk differs from the model"))
    Status = (NTSTATUS)0xC0000001;
  free(Disk);
  return Status;
}

static int SameAsFile(const char *Path) {
  HANDLE File = CreateFileA(Path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (File == INVALID_HANDLE_VALUE) return Check(0, "the file to compare with does not open");
  unsigned char *Bytes = malloc(DiskSize + 1);
  DWORD Read = 0;
  BOOL Done = ReadFile(File, Bytes, (DWORD)DiskSize + 1, &Read, NULL);
  CloseHandle(File);
  int Same = Done && Read == DiskSize && memcmp(Bytes, Model, DiskSize) == 0;
  free(Bytes);
  return Check(Same, "the disk differs from the file");
}

/* Runs one line; returns the driver's status, or checks of its own fail it
 * through *Passed. */
static NTSTATUS Run(char **Word, int Count, int *Passed, int Expected) {
  const char *Op = Word[0];
  unsigned long long A = Count > 1 ? strtoull(Word[1], NULL, 10) : 0;
  unsigned long long B = Count > 2 ? strtoull(Word[2], NULL, 10) : 0;
  if (strcmp(Op, "open") == 0) return Open(Word[1], Word[2]);
  if (strcmp(Op, "close") == 0) {
    CloseHandle(Image);
    Image = INVALID_HANDLE_VALUE;
    return 0;
  }
  if (strcmp(Op, "write") == 0) {
    unsigned char *Data = malloc(B);
    Pattern(Data, (unsigned long)B, strtoul(Word[3], NULL, 10));
    NTSTATUS Status = Transfer(1, A, Data, (ULONG)B);
    if (Status == 0 && !Expected) memcpy(Model + A, Data, B);
    free(Data);
    return Status;
  }
  if (strcmp(Op, "read") == 0) {
    unsigned char *Data = malloc(B);
    NTSTATUS Status = Transfer(0, A, Data, (ULONG)B);
    if (Status == 0) *Passed = Check(memcmp(Data, Model + A, B) == 0, "read differs");
    free(Data);
    return Status;
  }
  if (strcmp(Op, "size") == 0) {
    unsigned long long Size = 0;
    NTSTATUS Status = QuerySize(&Size);
    *Passed = Check(Size == A && Size == DiskSize, "wrong size");
    return Status;
  }
  if (strcmp(Op, "name") == 0) {
    unsigned char Buffer[4 + sizeof(OpenPath)];
    NTSTATUS Status = Forward(DORVFILT_FORWARD_QUERY, 9 /* FileNameInformation */, NULL, 0,
                              Buffer, sizeof(Buffer), NULL);
    unsigned Length;
    memcpy(&Length, Buffer, 4);
    *Passed = Check(Length == wcslen(OpenPath) * sizeof(WCHAR) &&
                        memcmp(Buffer + 4, OpenPath, Length) == 0,
                    "wrong name");
    return Status;
  }
  if (strcmp(Op, "position") == 0) {
    LONGLONG Set = (LONGLONG)A, Got = -1;
    NTSTATUS Status = Forward(DORVFILT_FORWARD_SET, 14 /* FilePositionInformation */, &Set,
                              sizeof(Set), NULL, 0, NULL);
    if (Status == 0) {
      Status = Forward(DORVFILT_FORWARD_QUERY, 14, NULL, 0, &Got, sizeof(Got), NULL);
      *Passed = Check(Got == Set, "wrong position");
    }
    return Status;
  }
  if (strcmp(Op, "grow") == 0) return Grow(A);
  if (strcmp(Op, "zero") == 0 || strcmp(Op, "trim") == 0 || strcmp(Op, "dsmtrim") == 0) {
    NTSTATUS Status = Trim(Op, A, B);
    if (Status == 0 && !Expected) memset(Model + A, 0, B);
    return Status;
  }
  if (strcmp(Op, "flush") == 0) {
    IO_STATUS_BLOCK Io;
    return NtFlushBuffersFile(Image, &Io);
  }
  if (strcmp(Op, "merge") == 0) return Merge((unsigned)A);
  if (strcmp(Op, "dump") == 0) return Dump(Word[1]);
  if (strcmp(Op, "compare") == 0) {
    *Passed = SameAsFile(Word[1]);
    return 0;
  }
  printf("  unknown operation\n");
  *Passed = 0;
  return 0;
}

int main(void) {
  Control = CreateFileW(L"\\\\.\\DorvaneFilter", GENERIC_READ | GENERIC_WRITE, 0, NULL,
                        OPEN_EXISTING, 0, NULL);
  if (Control == INVALID_HANDLE_VALUE) {
    printf("FAIL: \\\\.\\DorvaneFilter does not open (error %lu)\n", GetLastError());
    return 1;
  }
  DWORD Returned;
  if (!DeviceIoControl(Control, DORVFILT_MEND_WINE, NULL, 0, NULL, 0, &Returned, NULL)) {
    printf("FAIL: the filter did not mend Wine's gaps (error %lu)\n", GetLastError());
    return 1;
  }
  char Line[512];
  int Failures = 0, Lines = 0;
  while (fgets(Line, sizeof(Line), stdin) != NULL) {
    Line[strcspn(Line, "\r\n")] = 0;
    char Copy[512];
    strcpy(Copy, Line);
    char *Word[8];
    int Count = 0;
    for (char *Token = strtok(Copy, " \t"); Token != NULL && Count < 8;
         Token = strtok(NULL, " \t")) {
      Word[Count++] = Token;
    }
    if (Count == 0 || Word[0][0] == '#') continue;
    unsigned long Expected = 0;
    if (Word[Count - 1][0] == '!') Expected = strtoul(Word[--Count] + 1, NULL, 16);
    int Passed = 1;
    NTSTATUS Status = Run(Word, Count, &Passed, Expected != 0);
    Passed = Passed && (unsigned long)Status == Expected;
    if (!Passed) ++Failures;
    ++Lines;
    printf("%s: %s (0x%08lx)\n", Passed ? "ok" : "FAIL", Line, (unsigned long)Status);
    fflush(stdout);
  }
  printf("%d of %d lines passed\n", Lines - Failures, Lines);
  return Failures == 0 && Lines > 0 ? 0 : 1;
}
