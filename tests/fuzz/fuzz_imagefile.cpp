// The image-file reader on any file: a clear result (loaded, refused, or EImageFile), no line with "="
// among the image lines, the two ways of reading the header agree, and the check before a station run
// passes nothing an update could not send.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "firmware/uBl3File.h"
#include "firmware/uFWVersions.h"

namespace {

void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_imagefile: %s\n", what);
  std::abort();
}

// One file for the whole process, in memory where the system offers it: rewriting a file on disk for
// every input would make disk waits the fuzzer's pace. Removed again when the process exits.
struct TTempFile {
  std::string Path;
  TTempFile() {
    Path = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    Path += "/pellory_fuzz_imagefile_XXXXXX";
    const int fd = mkstemp(Path.data());
    if (fd >= 0) close(fd);
  }
  ~TTempFile() { unlink(Path.c_str()); }
};

const std::string& TempPath() {
  static const TTempFile file;
  return file.Path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::ofstream out(TempPath(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }

  SelectedImage = -1;
  FileHeader = TBl3FileHeader{};
  FileLines = {"left from before"};
  std::string reason;
  bool loaded = false;
  bool threw = false;
  try {
    loaded = LoadImageFile(TempPath(), reason);
  } catch (const EImageFile&) {
    threw = true;
  }
  if (loaded) {
    Require(SelectedImage == 0, "loaded, yet SelectedImage is not 0");
    for (const std::string& line : FileLines)
      Require(line.find('=') == std::string::npos, "an image line contains \"=\"");
    Require(GetImageLastLine(0) == static_cast<int32_t>(FileLines.size()) - 1,
            "last line index of the file image");
  } else {
    Require(FileLines.empty(), "refused, yet FileLines is not empty");
    Require(SelectedImage == -1, "refused, yet SelectedImage changed");
    Require(threw || !reason.empty(), "refused without a reason");
  }
  const TBl3FileHeader loadedHeader = FileHeader;

  // The station's check before any run: it passes only files that load and end as an update needs.
  const std::vector<std::string> loadedLines = FileLines;
  std::string checkReason;
  const bool usable = CheckImageFile(TempPath(), checkReason);
  Require(usable != !checkReason.empty(), "the check gave no reason, or one with success");
  Require(!usable || (loaded && FileLines.size() >= 2 && FileLines.back() == ":00000001FF"),
          "the check passed a file that no update can use");
  Require(FileLines == loadedLines && FileHeader == loadedHeader, "the check changed the loaded image");

  SelectedImage = 5;
  bool versionRead = false;
  try {
    ReadFileVersion(TempPath());
    versionRead = true;
  } catch (const EImageFile&) {
  }
  Require(SelectedImage == (versionRead ? 0 : 5), "File version left SelectedImage wrong");
  if (loaded)
    Require(versionRead && FileHeader == loadedHeader, "File version reads another header than the load");
  if (!loaded && !threw) Require(!versionRead, "the load refused a header that File version reads");
  return 0;
}
