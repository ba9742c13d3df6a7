#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "platform/foundation/FileSystem.h"
#include "platform/user_notifications/AttachmentStore.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"

namespace corvanta {
namespace {

namespace fs = std::filesystem;
using testing::media, testing::readFile;

std::shared_ptr<NSURL> urlOf(const std::string& path) {
  return NSURL::URLWithString("file://" + path);
}

class AttachmentStoreTest : public ::testing::Test {
 protected:
  std::string storeDirectory() const { return _scratch.path() + "store/"; }
  std::string put(const std::string& name, const std::string& bytes) const {
    return _scratch.write(name, bytes);
  }
  std::shared_ptr<UNNotificationAttachment> attach(const std::shared_ptr<NSURL>& url) {
    _error = nullptr;
    return UNNotificationAttachment::attachmentWithIdentifier("Corvanta", url, nullptr, &_error);
  }
  // A refusal must leave nothing in the store.
  long storedFiles() const {
    std::error_code none;  // no store yet: nothing stored
    return std::count_if(fs::recursive_directory_iterator(storeDirectory(), none), {},
                         [](const fs::directory_entry& entry) { return entry.is_regular_file(); });
  }
  void expectRefused(const std::shared_ptr<UNNotificationAttachment>& attachment, long code,
                     const std::string& mentions) {
    EXPECT_FALSE(attachment) << "taken into " << attachment->file();
    ASSERT_NE(_error, nullptr) << mentions;
    EXPECT_EQ(_error->domain(), UNErrorDomain);
    EXPECT_EQ(_error->code(), code) << _error->localizedDescription();
    EXPECT_NE(_error->localizedDescription().find(mentions), std::string::npos)
        << _error->localizedDescription();
  }

  testing::ScratchDirectory _scratch;
  DefaultAttachmentStore _store{storeDirectory()};
  ScopedBackend<AttachmentStore> _installed{_store};
  std::shared_ptr<NSError> _error;
};

TEST_F(AttachmentStoreTest, RefusesEachWayWithItsCode) {
  const std::string valid = put("valid.png", media("pic.png")), dir = _scratch.path();
  ASSERT_EQ(::symlink(valid.c_str(), (dir + "link.png").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir + "pipe.png").c_str(), 0600), 0);
  fs::create_directory(dir + "folder.png");
  const struct {
    std::shared_ptr<NSURL> url;
    long code;
    std::string mentions;
  } cases[] = {
      {nullptr, UNErrorCodeAttachmentInvalidURL, "no URL"},
      {NSURL::URLWithString("http://127.0.0.1/pic.png"), UNErrorCodeAttachmentInvalidURL,
       "http://127.0.0.1/pic.png"},
      {NSURL::URLWithString("file://elsewhere" + valid), UNErrorCodeAttachmentInvalidURL,
       "elsewhere"},
      {urlOf(dir + "missing.png"), UNErrorCodeAttachmentNotReachable, "missing.png"},
      // Never followed, even to an acceptable file.
      {urlOf(dir + "link.png"), UNErrorCodeAttachmentNotReachable, "link.png"},
      {urlOf(dir + "folder.png"), UNErrorCodeAttachmentNotReachable, "folder.png"},
      // Must neither block nor be taken.
      {urlOf(dir + "pipe.png"), UNErrorCodeAttachmentNotReachable, "pipe.png"},
      // An encoded NUL must not cut the path short and reach valid.png.
      {urlOf(valid + "%00.txt"), UNErrorCodeAttachmentNotReachable, ""},
      {urlOf(put("empty.png", "")), UNErrorCodeAttachmentInvalidFileSize, "empty.png"},
      {urlOf(put("photo.bmp", media("photo.bmp"))), UNErrorCodeAttachmentUnrecognizedType,
       "photo.bmp: type image/bmp"},
  };
  for (const auto& c : cases) expectRefused(attach(c.url), c.code, c.mentions);
  EXPECT_EQ(storedFiles(), 0);

  put("plain", "a file where the store should be");
  DefaultAttachmentStore blocked(dir + "plain/store");
  const ScopedBackend<AttachmentStore> installed(blocked);
  expectRefused(attach(urlOf(valid)), UNErrorCodeAttachmentMoveIntoDataStoreFailed,
                "valid.png: cannot be stored in");
}

// Each name goes into the first numbered folder that lacks it, so a name staged again gets a
// folder of its own while other names share the first; what was stored stays as it was.
TEST_F(AttachmentStoreTest, StoresEachNameInTheFirstNumberedFolderWithoutIt) {
  const std::string staging = put("pic.png", media("pic.png"));
  const auto first = attach(urlOf(staging));
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(FileSystem::Default().writeFileAtomically(staging, media("anim.gif")));
  const auto second = attach(NSURL::URLWithString("file://localhost" + staging));
  const auto other = attach(urlOf(put("photo.jpg", media("photo.jpg"))));
  ASSERT_TRUE(second && other);
  EXPECT_EQ(first->file(), storeDirectory() + "0/pic.png");
  EXPECT_EQ(second->file(), storeDirectory() + "1/pic.png");
  EXPECT_EQ(other->file(), storeDirectory() + "0/photo.jpg");
  EXPECT_EQ(second->type(), "image/gif");
  EXPECT_EQ(readFile(first->file()), media("pic.png"));
  EXPECT_EQ(readFile(second->file()), media("anim.gif"));
}

TEST_F(AttachmentStoreTest, CopiesIntoAStoreOnAnotherFileSystem) {
  struct stat scratch {
  }, shm{};
  if (::stat(_scratch.path().c_str(), &scratch) != 0 || ::stat("/dev/shm", &shm) != 0 ||
      scratch.st_dev == shm.st_dev)
    GTEST_SKIP() << "no second file system at /dev/shm";
  std::string other = "/dev/shm/corvanta-store-XXXXXX";
  ASSERT_NE(::mkdtemp(other.data()), nullptr);
  DefaultAttachmentStore store(other);
  const ScopedBackend<AttachmentStore> installed(store);
  const std::string staging = put("tone.wav", media("tone.wav"));
  const auto attachment = attach(urlOf(staging));
  ASSERT_NE(attachment, nullptr) << (_error ? _error->localizedDescription() : "");
  put("tone.wav", media("tone.mp3"));  // even a write in place cannot reach a copy
  EXPECT_EQ(readFile(attachment->file()), media("tone.wav"));
  fs::remove_all(other);
}

// Files as encoders and muxers write them, judged as a device judges them: by the name's
// extension, with the content confirming the type. An accepted file is stored under its own
// name.
TEST_F(AttachmentStoreTest, JudgesMediaByNameAndContentAsADeviceDoes) {
  const long accepted = 0;
  const struct {
    std::string name, bytes;
    long code;            // `accepted`, or the refusal's UNErrorDomain code
    std::string outcome;  // the type, or what the refusal's message says
    const char* kind = "";
  } cases[] = {
      {"pic.png", media("pic.png"), accepted, "image/png", "image"},
      {"photo.jpg", media("photo.jpg"), accepted, "image/jpeg", "image"},
      {"anim.gif", media("anim.gif"), accepted, "image/gif", "image"},
      {"tone.mp3", media("tone.mp3"), accepted, "audio/mpeg", "audio"},
      {"tone.wav", media("tone.wav"), accepted, "audio/wav", "audio"},
      {"tone.aiff", media("tone.aiff"), accepted, "audio/aiff", "audio"},
      {"tone.aifc", media("tone.aifc"), accepted, "audio/aiff", "audio"},
      {"clip.mp4", media("clip.mp4"), accepted, "video/mp4", "movie"},
      {"clip.mpg", media("clip.mpg"), accepted, "video/mpeg", "movie"},
      {"clip.avi", media("clip.avi"), accepted, "video/x-msvideo", "movie"},
      // The content decides the type; an extension of the same kind, in any case, is no mismatch.
      {"photo.JPG", media("pic.png"), accepted, "image/png", "image"},
      {"sound.m4a", media("tone.wav"), accepted, "audio/wav", "audio"},
      // Cover art makes the tag far larger than the sniffed bytes; the audio follows it.
      {"cover.mp3", media("cover.mp3"), accepted, "audio/mpeg", "audio"},
      {"footer.mp3", media("cover-footer.mp3"), accepted, "audio/mpeg", "audio"},
      // In the MPEG-4 family the name tells the kind; a generic brand says nothing.
      {"voice.m4a", media("voice.m4a"), accepted, "audio/mp4", "audio"},
      {"isom.m4a", media("isom.m4a"), accepted, "audio/mp4", "audio"},
      {"clip.m4v", media("clip.m4v"), accepted, "video/mp4", "movie"},
      {"voice.mp4", media("voice.m4a"), accepted, "video/mp4", "movie"},
      {"pic.mp3", media("pic.png"), UNErrorCodeAttachmentTypeMismatch, "content is image/png"},
      {"tone.png", media("tone.mp3"), UNErrorCodeAttachmentTypeMismatch, "content is audio/mpeg"},
      {"voice.png", media("voice.m4a"), UNErrorCodeAttachmentTypeMismatch, "content is audio/mp4"},
      {"download", media("pic.png"), UNErrorCodeAttachmentUnrecognizedType,
       "download: no media extension; the content is image/png"},
      {"archive.png.txt", media("anim.gif"), UNErrorCodeAttachmentUnrecognizedType,
       "no media extension; the content is image/gif"},
      {"tone.mp2", media("tone.mp2"), UNErrorCodeAttachmentUnrecognizedType,
       "no media extension; the content is audio/mpeg"},
      {"clip.mp2", media("clip-mpeg2.mpg"), UNErrorCodeAttachmentUnrecognizedType,
       "no media extension; the content is video/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto attachment = attach(urlOf(put(c.name, c.bytes)));
    if (c.code != accepted) {
      expectRefused(attachment, c.code, c.outcome);
      continue;
    }
    ASSERT_NE(attachment, nullptr) << _error->localizedDescription();
    EXPECT_EQ(attachment->type(), c.outcome);
    EXPECT_STREQ(nameOfKind(attachment->kind()), c.kind);
    EXPECT_EQ(attachment->size(), c.bytes.size());
    EXPECT_EQ(fs::path(attachment->file()).filename(), c.name);
    EXPECT_EQ(readFile(attachment->file()), c.bytes);
  }
}

}  // namespace
}  // namespace corvanta
