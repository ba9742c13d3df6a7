#include "platform/user_notifications/AttachmentStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/foundation/FileDescriptor.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/NSString.h"
#include "platform/user_notifications/MediaSniffer.h"
#include "platform/user_notifications/MediaType.h"

namespace corvanta {
namespace {

// Enough for every accepted type's signature (each within its first few hundred bytes), and
// for libmagic to tell MPEG-4 brands apart. libmagic's text and structure checks scan all it
// is given: 64 KiB took it three times as long as 16 KiB, for the same answers.
constexpr std::size_t kSniffedBytes = 16 * 1024;

// Files rarely carry more than one leading ID3v2 tag; the bound keeps a crafted chain of
// empty tags from costing a read each.
constexpr int kMostLeadingTags = 4;

// Up to `limit` bytes of `fd` from `offset`, whatever the descriptor's own offset; nullopt on
// a read error.
std::optional<std::string> readFrom(int fd, off_t offset, std::size_t limit) {
  std::string bytes(limit, '\0');
  std::size_t filled = 0;
  while (filled < limit) {
    const ssize_t got =
        ::pread(fd, bytes.data() + filled, limit - filled, offset + static_cast<off_t>(filled));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  bytes.resize(filled);
  return bytes;
}

// The first bytes of the media in `fd`, past any leading ID3v2 tags: cover art can make a tag
// far larger than what is sniffed, and the audio behind it is what has a type. A tag that
// reaches the end of the file leaves the bytes from the start. nullopt on a read error.
std::optional<std::string> readMedia(int fd, std::uint64_t size) {
  std::optional<std::string> head = readFrom(fd, 0, kSniffedBytes);
  std::uint64_t offset = 0;
  for (int i = 0; head && i < kMostLeadingTags; ++i) {
    const std::uint64_t tag = leadingID3TagLength(*head);
    if (tag == 0 || offset + tag >= size) break;
    offset += tag;
    head = readFrom(fd, static_cast<off_t>(offset), kSniffedBytes);
  }
  return head;
}

struct Refusal {
  long code;
  std::string message;
};

}  // namespace

// The store keeps each file under its own name, in numbered folders that hold at most one
// file of each name: the first folder without that name takes it. Folders are made once and
// shared, so a run of distinct names costs one folder, not one each. Where to start looking
// for a name is remembered for the names seen lately (a name's later folders fill in order).
class StoreFolders {
 public:
  std::size_t firstFreeFor(const std::string& name) {
    const std::lock_guard lock(_mutex);
    const auto found = _next.find(name);
    return found == _next.end() ? 0 : found->second;
  }
  void taken(const std::string& name, std::size_t folder) {
    const std::lock_guard lock(_mutex);
    if (_next.size() >= kNamesRemembered) _next.clear();
    std::size_t& next = _next[name];
    next = std::max(next, folder + 1);
  }

 private:
  static constexpr std::size_t kNamesRemembered = 4096;
  std::mutex _mutex;
  std::unordered_map<std::string, std::size_t> _next;
};

namespace {

// Sets `refusal` and gives nothing.
std::nullopt_t refuse(Refusal& refusal, long code, std::string message) {
  refusal = {code, std::move(message)};
  return std::nullopt;
}

// The file an attachment would be made of, open: what is checked is what is stored.
struct Candidate {
  FileDescriptor file;
  std::string name;     // its file name, the name it is stored under
  std::string subject;  // what the refusals name: the file name, else the URL
  std::uint64_t size = 0;
};

// The regular file at the file URL `URL`, open, or nullopt and why it cannot be reached.
std::optional<Candidate> openCandidate(const std::shared_ptr<NSURL>& URL, Refusal& refusal) {
  if (!URL) return refuse(refusal, UNErrorCodeAttachmentInvalidURL, "no URL was given");
  if (!URL->isFileURL())
    return refuse(refusal, UNErrorCodeAttachmentInvalidURL,
                  URL->absoluteString() + ": not a file URL");
  if (!URL->host().empty() && URL->host() != "localhost")
    return refuse(refusal, UNErrorCodeAttachmentInvalidURL,
                  URL->absoluteString() + ": names a file on another host");

  const std::string& path = URL->path();
  Candidate candidate{FileDescriptor(), lastPathComponent(path), "", 0};
  candidate.subject = candidate.name.empty() ? URL->absoluteString() : candidate.name;
  auto unreachable = [&](const std::string& reason) {
    return refuse(refusal, UNErrorCodeAttachmentNotReachable, candidate.subject + ": " + reason);
  };
  // The kernel would stop at a NUL and open some other file.
  if (path.empty() || path.find('\0') != std::string::npos) return unreachable("no such file");

  // Never through a symlink, never blocking on a FIFO.
  candidate.file =
      FileDescriptor(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!candidate.file.valid()) {
    const int cause = errno;
    if (cause == ELOOP) return unreachable("is a symbolic link");
    if (cause == ENOENT || cause == ENOTDIR) return unreachable("no such file");
    return unreachable(std::string("cannot be opened: ") + std::strerror(cause));
  }
  struct stat status {};
  if (::fstat(candidate.file.get(), &status) != 0) return unreachable("cannot be read");
  if (S_ISDIR(status.st_mode)) return unreachable("is a directory");
  if (!S_ISREG(status.st_mode)) return unreachable("is not a regular file");
  candidate.size = static_cast<std::uint64_t>(status.st_size);
  if (candidate.size == 0)
    return refuse(refusal, UNErrorCodeAttachmentInvalidFileSize, candidate.subject + ": is empty");
  return candidate;
}

// The candidate's media type by the media rules: read from its content, and named by its
// extension. nullopt and why when they refuse it.
std::optional<MediaType> judgeMedia(const Candidate& candidate, Refusal& refusal) {
  const std::string& subject = candidate.subject;
  const std::optional<std::string> head = readMedia(candidate.file.get(), candidate.size);
  if (!head)
    return refuse(refusal, UNErrorCodeAttachmentNotReachable, subject + ": cannot be read");
  const std::optional<std::string> sniffed = sniffMimeType(*head);
  if (!sniffed)
    return refuse(refusal, UNErrorCodeAttachmentUnrecognizedType,
                  subject + ": its type cannot be read");
  const std::optional<MediaExtension> named = mediaExtensionOf(candidate.name);
  const std::optional<MediaType> type = acceptedMediaType(*sniffed, *head, named);
  if (!type)
    return refuse(refusal, UNErrorCodeAttachmentUnrecognizedType,
                  subject + ": type " + *sniffed + " is not accepted");
  // A device reads the type from the name alone, so a name without a media extension is
  // refused whatever the content; the message says what the content was.
  if (!named)
    return refuse(refusal, UNErrorCodeAttachmentUnrecognizedType,
                  subject + ": no media extension; the content is " + type->mime);
  if (named->kind != type->kind)
    return refuse(refusal, UNErrorCodeAttachmentTypeMismatch,
                  subject + ": the extension names " + nameOfKind(named->kind) +
                      " but the content is " + type->mime + " (" + nameOfKind(type->kind) + ")");
  if (const std::uint64_t limit = sizeLimitOf(type->kind); candidate.size > limit)
    return refuse(refusal, UNErrorCodeAttachmentInvalidFileSize,
                  subject + ": " + std::to_string(candidate.size) + " bytes is over the " +
                      nameOfKind(type->kind) + " limit of " + std::to_string(limit) + " bytes");
  return type;
}

// Takes the open file into the store under `name`: a hard link to the very file that was
// checked, or a copy of its bytes where the store is on another file system or linking is
// not allowed. Gives the stored file's path.
std::optional<std::string> takeIntoStore(const Candidate& candidate, const std::string& directory,
                                         StoreFolders& folders, Refusal& refusal) {
  const FileDescriptor& file = candidate.file;
  const std::string& name = candidate.name;
  auto fail = [&](const std::string& reason) {
    return refuse(refusal, UNErrorCodeAttachmentMoveIntoDataStoreFailed, name + ": " + reason);
  };
  FileSystem& files = FileSystem::Current();
  for (std::size_t number = folders.firstFreeFor(name);; ++number) {
    const std::string folder = directory + std::to_string(number);
    const std::string stored = folder + "/" + name;
    Result<> placed = files.linkFile(file, stored);
    // The store and its folders are made on first use only.
    if (!placed && placed.failure().code == ENOENT) {
      if (Result<> made = files.makeDirectories(folder, 0700); !made) {
        return fail("the attachment store " + directory +
                    " cannot be used: " + std::strerror(made.failure().code));
      }
      placed = files.linkFile(file, stored);
    }
    if (!placed && placed.failure().code != EEXIST) placed = files.copyFile(file, stored);
    if (!placed && placed.failure().code == EEXIST) continue;
    if (!placed) {
      return fail("cannot be stored in " + directory + ": " + std::strerror(placed.failure().code));
    }
    folders.taken(name, number);
    struct stat status {};
    if (::stat(stored.c_str(), &status) != 0 ||
        static_cast<std::uint64_t>(status.st_size) != candidate.size)
      return fail("the file changed while it was being stored");
    return stored;
  }
}

}  // namespace

DefaultAttachmentStore::DefaultAttachmentStore(std::string directory)
    : _directory(directory.empty() ? "" : withOneTrailingSlash(std::move(directory))),
      _folders(std::make_unique<StoreFolders>()) {}

DefaultAttachmentStore::~DefaultAttachmentStore() = default;

std::shared_ptr<UNNotificationAttachment> DefaultAttachmentStore::attachmentWithIdentifier(
    const std::string& identifier, const std::shared_ptr<NSURL>& URL,
    const std::shared_ptr<NSDictionary>& /*options*/, NSErrorOut error) {
  const std::string directory =
      _directory.empty() ? NSTemporaryDirectory() + "Attachments/" : _directory;
  Refusal refusal;
  std::optional<Candidate> candidate = openCandidate(URL, refusal);
  std::optional<MediaType> type;
  std::optional<std::string> stored;
  if (candidate) type = judgeMedia(*candidate, refusal);
  if (type) stored = takeIntoStore(*candidate, directory, *_folders, refusal);
  if (!stored) {
    if (error) *error = NSError::errorWithDomain(UNErrorDomain, refusal.code, refusal.message);
    return nullptr;
  }
  return std::make_shared<UNNotificationAttachment>(UNNotificationAttachment::Description{
      identifier, URL, *stored, type->mime, type->kind, candidate->size});
}

AttachmentStore& AttachmentStore::Default() {
  static DefaultAttachmentStore store;
  return store;
}

}  // namespace corvanta
