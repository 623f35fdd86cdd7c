// The nbdkit plugin: `nbdkit dorvane image=IMAGE [readonly=true]` serves
// the image's virtual disk over NBD. The image is opened once, before the
// server starts (so an image that cannot be opened keeps nbdkit from
// starting, with the line naming the file at fault), and every connection
// uses that one handle until the server stops. Requests run in parallel;
// the export admits them.
#define NBDKIT_API_VERSION 2
#include "tools/nbdkit/nbd_export.h"

#include <nbdkit-plugin.h>

#include <cstdlib>
#include <string>

#define THREAD_MODEL NBDKIT_THREAD_MODEL_PARALLEL

namespace dorvane {

namespace {

std::string configuredImage;
bool configuredReadOnly = false;
NbdExport *served = nullptr;

NbdExport &Served(void *handle) { return *static_cast<NbdExport *>(handle); }

// The callbacks' answer: 0, or -1 with the client's errno set.
int Reply(int error) {
  if (error == 0) {
    return 0;
  }
  nbdkit_set_error(error);
  return -1;
}

int Configure(const char *key, const char *value) {
  std::string name = key;
  if (name == "image") {
    char *absolute = nbdkit_absolute_path(value);
    if (absolute == nullptr) {
      return -1;
    }
    configuredImage = absolute;
    std::free(absolute);
    return 0;
  }
  if (name == "readonly") {
    int readOnly = nbdkit_parse_bool(value);
    if (readOnly < 0) {
      return -1;
    }
    configuredReadOnly = readOnly != 0;
    return 0;
  }
  nbdkit_error("unknown parameter '%s' (image=IMAGE [readonly=true])", key);
  return -1;
}

int CompleteConfiguration() {
  if (configuredImage.empty()) {
    nbdkit_error("image=IMAGE is required: the VHD image (fixed, dynamic or differencing) to "
                 "serve");
    return -1;
  }
  return 0;
}

// Before nbdkit forks into the background: errors still reach the user.
int GetReady() {
  served = new NbdExport;
  std::string error = served->Open(configuredImage, !configuredReadOnly);
  if (!error.empty()) {
    nbdkit_error("%s", error.c_str());
    return -1;
  }
  return 0;
}

void Unload() {
  if (served != nullptr) {
    served->Close();
    delete served;
    served = nullptr;
  }
}

void *OpenConnection(int) { return served; }

// A client that goes away leaves its changes written through.
void CloseConnection(void *handle) { Served(handle).FlushIfChanged(); }

int64_t GetSize(void *handle) {
  uint64_t size = 0;
  return Reply(Served(handle).QuerySize(&size)) == 0 ? static_cast<int64_t>(size) : -1;
}

int CanWrite(void *handle) { return Served(handle).Writable() ? 1 : 0; }
int Yes(void *) { return 1; }
int No(void *) { return 0; }
int NativeFua(void *) { return NBDKIT_FUA_NATIVE; }

// The preferred size is what clients such as nbdcopy make their requests:
// nbdkit gives every worker thread of a connection a buffer of that size and
// fills it with zeros when it first grows, so a larger preference costs each
// new connection more than it saves per request (2 MiB doubled the server's
// time per byte read). 256 KiB is nbdcopy's own default and a whole fraction
// of every block size from 256 KiB up, so requests still never split a block.
int BlockSize(void *, uint32_t *minimum, uint32_t *preferred, uint32_t *maximum) {
  *minimum = 1;
  *preferred = 256u << 10;
  *maximum = 0xFFFFFFFFu;
  return 0;
}

bool Fua(uint32_t flags) { return (flags & NBDKIT_FLAG_FUA) != 0; }

int Read(void *handle, void *buffer, uint32_t count, uint64_t offset, uint32_t) {
  return Reply(Served(handle).Read(buffer, count, offset));
}

int Write(void *handle, const void *buffer, uint32_t count, uint64_t offset, uint32_t flags) {
  return Reply(Served(handle).Write(buffer, count, offset, Fua(flags)));
}

int Flush(void *handle, uint32_t) { return Reply(Served(handle).Flush()); }

int Trim(void *handle, uint32_t count, uint64_t offset, uint32_t flags) {
  return Reply(Served(handle).Trim(count, offset, Fua(flags)));
}

int Zero(void *handle, uint32_t count, uint64_t offset, uint32_t flags) {
  return Reply(Served(handle).Zero(count, offset, Fua(flags),
                                   (flags & NBDKIT_FLAG_FAST_ZERO) != 0));
}

nbdkit_plugin MakePlugin() {
  nbdkit_plugin plugin{};
  plugin.name = "dorvane";
  plugin.longname = "Dorvane VHD images";
  plugin.version = DORVANE_VERSION;
  plugin.description = "The virtual disk of a VHD image (fixed, dynamic or differencing) "
                       "through the Dorvane driver";
  plugin.magic_config_key = "image";
  plugin.config = Configure;
  plugin.config_complete = CompleteConfiguration;
  plugin.config_help =
      "image=IMAGE       (required) the image, fixed, dynamic or differencing\n"
      "readonly=true     open the image for reading only";
  plugin.get_ready = GetReady;
  plugin.unload = Unload;
  plugin.open = OpenConnection;
  plugin.close = CloseConnection;
  plugin.get_size = GetSize;
  plugin.block_size = BlockSize;
  plugin.can_write = CanWrite;
  plugin.can_flush = Yes;
  plugin.can_fua = NativeFua;
  plugin.can_trim = Yes;
  plugin.can_zero = Yes;
  plugin.can_fast_zero = Yes;
  plugin.can_multi_conn = Yes;
  plugin.is_rotational = No;
  plugin.pread = Read;
  plugin.pwrite = Write;
  plugin.flush = Flush;
  plugin.trim = Trim;
  plugin.zero = Zero;
  return plugin;
}

nbdkit_plugin plugin = MakePlugin();

}  // namespace

}  // namespace dorvane

NBDKIT_REGISTER_PLUGIN(dorvane::plugin)
