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
  // The media file `from` staged as `name`.
  std::shared_ptr<NSURL> staged(const std::string& name, const std::string& from = "") {
    return urlOf(_scratch.write(name, media(from.empty() ? name : from)));
  }
  std::shared_ptr<UNNotificationAttachment> attach(const std::shared_ptr<NSURL>& url) {
    _error = nullptr;
    return UNNotificationAttachment::attachmentWithIdentifier("Corvanta", url, nullptr, &_error);
  }
  void expectRefused(const std::shared_ptr<UNNotificationAttachment>& attachment, long code,
                     const std::string& mentions) {
    ASSERT_FALSE(attachment) << "taken into " << attachment->file();
    ASSERT_NE(_error, nullptr) << mentions;
    EXPECT_EQ(std::pair(_error->domain(), _error->code()),
              std::pair(std::string(UNErrorDomain), code));
    EXPECT_NE(_error->localizedDescription().find(mentions), std::string::npos)
        << _error->localizedDescription();
  }

  testing::ScratchDirectory _scratch;
  DefaultAttachmentStore _store{storeDirectory()};
  ScopedBackend<AttachmentStore> _installed{_store};
  std::shared_ptr<NSError> _error;
};

// Files as encoders and muxers write them, judged as a device judges them: by the name's
// extension, with the content confirming the type; an accepted one is stored under its own
// name, a refused one leaves nothing in the store.
TEST_F(AttachmentStoreTest, JudgesEachFileByItsURLNameAndContentAsADeviceDoes) {
  const std::string dir = _scratch.path(), valid = staged("valid.png", "pic.png")->path();
  ASSERT_EQ(::symlink(valid.c_str(), (dir + "link.png").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir + "pipe.png").c_str(), 0600), 0);
  fs::create_directory(dir + "folder.png");
  const struct {
    std::shared_ptr<NSURL> url;
    long code;            // 0 when accepted, else the refusal's UNErrorDomain code
    std::string outcome;  // the type and kind, or what the refusal's message says
  } cases[] = {
      // pic.png, tone.mp3 and clip.mp4 are judged in HostDeliveryTest, anim.gif further down.
      {staged("photo.jpg"), 0, "image/jpeg image"},
      {staged("tone.wav"), 0, "audio/wav audio"},
      {staged("tone.aiff"), 0, "audio/aiff audio"},
      {staged("tone.aifc"), 0, "audio/aiff audio"},
      {staged("clip.mpg"), 0, "video/mpeg movie"},
      {staged("clip.avi"), 0, "video/x-msvideo movie"},
      // The content decides the type; an extension of the same kind, in any case, is no mismatch.
      {staged("photo.JPG", "pic.png"), 0, "image/png image"},
      {staged("sound.m4a", "tone.wav"), 0, "audio/wav audio"},
      // Cover art makes the tag far larger than the sniffed bytes; the audio follows it.
      {staged("cover.mp3"), 0, "audio/mpeg audio"},
      {staged("footer.mp3", "cover-footer.mp3"), 0, "audio/mpeg audio"},
      // In the MPEG-4 family the name tells the kind; a generic brand says nothing.
      {staged("voice.m4a"), 0, "audio/mp4 audio"},
      {staged("isom.m4a"), 0, "audio/mp4 audio"},
      {staged("clip.m4v"), 0, "video/mp4 movie"},
      {staged("voice.mp4", "voice.m4a"), 0, "video/mp4 movie"},
      {staged("pic.mp3", "pic.png"), UNErrorCodeAttachmentTypeMismatch, "content is image/png"},
      {staged("tone.png", "tone.mp3"), UNErrorCodeAttachmentTypeMismatch, "content is audio/mpeg"},
      {staged("voice.png", "voice.m4a"), UNErrorCodeAttachmentTypeMismatch, "content is audio/mp4"},
      {staged("download", "pic.png"), UNErrorCodeAttachmentUnrecognizedType,
       "download: no media extension; the content is image/png"},
      {staged("archive.png.txt", "anim.gif"), UNErrorCodeAttachmentUnrecognizedType,
       "no media extension; the content is image/gif"},
      {staged("tone.mp2"), UNErrorCodeAttachmentUnrecognizedType,
       "no media extension; the content is audio/mpeg"},
      {staged("clip.mp2", "clip-mpeg2.mpg"), UNErrorCodeAttachmentUnrecognizedType,
       "no media extension; the content is video/"},
      {staged("photo.bmp"), UNErrorCodeAttachmentUnrecognizedType, "photo.bmp: type image/bmp"},
      {urlOf(_scratch.write("empty.png", "")), UNErrorCodeAttachmentInvalidFileSize, "empty.png"},
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
  };
  long accepted = 0;
  for (const auto& c : cases) {
    const auto attachment = attach(c.url);
    if (c.code) {
      expectRefused(attachment, c.code, c.outcome);
      continue;
    }
    ASSERT_NE(attachment, nullptr) << _error->localizedDescription();
    const std::string bytes = readFile(c.url->path());
    EXPECT_EQ(std::tuple(attachment->type() + " " + nameOfKind(attachment->kind()),
                         attachment->size(), fs::path(attachment->file()).filename()),
              std::tuple(c.outcome, bytes.size(), fs::path(c.url->path()).filename()));
    EXPECT_TRUE(readFile(attachment->file()) == bytes);
    ++accepted;
  }
  const auto stored =
      std::count_if(fs::recursive_directory_iterator(storeDirectory()), {},
                    [](const fs::directory_entry& e) { return e.is_regular_file(); });
  EXPECT_EQ(stored, accepted) << "a refusal must leave nothing in the store";

  _scratch.write("plain", "a file where the store should be");
  DefaultAttachmentStore blocked(dir + "plain/store");
  const ScopedBackend<AttachmentStore> installed(blocked);
  expectRefused(attach(urlOf(valid)), UNErrorCodeAttachmentMoveIntoDataStoreFailed,
                "valid.png: cannot be stored in");
}

// Each name goes into the first numbered folder that lacks it, so a name staged again gets a
// folder of its own while other names share the first; what was stored stays as it was.
TEST_F(AttachmentStoreTest, StoresEachNameInTheFirstNumberedFolderWithoutIt) {
  const auto staging = staged("pic.png");
  const auto first = attach(staging);
  ASSERT_TRUE(FileSystem::Default().writeFileAtomically(staging->path(), media("anim.gif")));
  const auto second = attach(NSURL::URLWithString("file://localhost" + staging->path()));
  const auto other = attach(staged("photo.jpg"));
  ASSERT_TRUE(first && second && other);
  const std::string at = storeDirectory();
  EXPECT_EQ((std::vector{first->file(), second->file(), other->file()}),
            (std::vector{at + "0/pic.png", at + "1/pic.png", at + "0/photo.jpg"}));
  EXPECT_EQ(second->type(), "image/gif");
  EXPECT_TRUE(readFile(first->file()) == media("pic.png"));
  EXPECT_TRUE(readFile(second->file()) == media("anim.gif"));
}

TEST_F(AttachmentStoreTest, CopiesIntoAStoreOnAnotherFileSystem) {
  struct stat here = {}, shm = {};
  if (::stat(_scratch.path().c_str(), &here) || ::stat("/dev/shm", &shm) ||
      here.st_dev == shm.st_dev)
    GTEST_SKIP() << "no second file system at /dev/shm";
  std::string other = "/dev/shm/corvanta-store-XXXXXX";
  ASSERT_NE(::mkdtemp(other.data()), nullptr);
  DefaultAttachmentStore store(other);
  const ScopedBackend<AttachmentStore> installed(store);
  const auto attachment = attach(staged("tone.wav"));
  ASSERT_TRUE(attachment) << _error->localizedDescription();
  _scratch.write("tone.wav", media("tone.mp3"));  // even a write in place cannot reach a copy
  EXPECT_TRUE(readFile(attachment->file()) == media("tone.wav"));
  fs::remove_all(other);
}

}  // namespace
}  // namespace corvanta
