#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/foundation/FileSystem.h"
#include "platform/user_notifications/AttachmentStore.h"
#include "platform/user_notifications/MediaSniffer.h"
#include "platform/user_notifications/MediaType.h"
#include "support/ScratchDirectory.h"
#include "tools/media_samples.h"

namespace corvanta {
namespace {

namespace fs = std::filesystem;
namespace media = corvanta::media;
using Kind = UNNotificationAttachmentKind;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class AttachmentStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { setAttachmentStoreDirectory(storeDirectory()); }
  void TearDown() override { setAttachmentStoreDirectory(""); }

  std::string storeDirectory() const { return _scratch.path() + "store/"; }
  std::string put(const std::string& name, const std::string& bytes) const {
    return _scratch.write(name, bytes);
  }
  // A file of `size` bytes that starts with `sample`; sparse, so large sizes cost nothing.
  std::string putSized(const std::string& name, const std::string& sample, off_t size) const {
    const std::string path = put(name, sample);
    EXPECT_EQ(::truncate(path.c_str(), size), 0);
    return path;
  }
  static std::shared_ptr<NSURL> urlOf(const std::string& path) {
    return NSURL::URLWithString("file://" + path);
  }
  std::shared_ptr<UNNotificationAttachment> attach(const std::shared_ptr<NSURL>& url) {
    _error = nullptr;
    return UNNotificationAttachment::attachmentWithIdentifier("Corvanta", url, nullptr, &_error);
  }
  std::shared_ptr<UNNotificationAttachment> attachFile(const std::string& path) {
    return attach(urlOf(path));
  }
  // Files in the store; a refusal must leave none behind.
  long storedFiles() const {
    if (!fs::exists(storeDirectory())) return 0;
    long count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(storeDirectory()))
      count += entry.is_regular_file();
    return count;
  }
  void expectRefused(const std::shared_ptr<UNNotificationAttachment>& attachment, long code,
                     const std::string& mentions) {
    EXPECT_FALSE(attachment) << "taken into " << attachment->file();
    ASSERT_NE(_error, nullptr);
    EXPECT_EQ(_error->domain(), UNErrorDomain);
    EXPECT_EQ(_error->code(), code) << _error->localizedDescription();
    EXPECT_NE(_error->localizedDescription().find(mentions), std::string::npos)
        << _error->localizedDescription();
  }

  testing::ScratchDirectory _scratch;
  std::shared_ptr<NSError> _error;
};

TEST_F(AttachmentStoreTest, AcceptsEveryMediaTypeWithItsKindAndSize) {
  struct Case {
    std::string name, bytes, type;
    Kind kind;
  };
  const std::vector<Case> cases = {
      {"pic.png", media::png(), "image/png", Kind::image},
      {"photo.jpg", media::jpeg(), "image/jpeg", Kind::image},
      {"anim.gif", media::gif(), "image/gif", Kind::image},
      {"tone.mp3", media::mp3(), "audio/mpeg", Kind::audio},
      {"tone.wav", media::wav(), "audio/wav", Kind::audio},
      {"tone.aiff", media::aiff(), "audio/aiff", Kind::audio},
      {"voice.m4a", media::m4a(), "audio/mp4", Kind::audio},
      {"clip.mp4", media::mp4(), "video/mp4", Kind::movie},
      {"clip.mpg", media::mpeg(), "video/mpeg", Kind::movie},
      {"clip.avi", media::avi(), "video/x-msvideo", Kind::movie},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string source = put(c.name, c.bytes);
    const auto url = urlOf(source);
    const auto attachment = attach(url);
    ASSERT_NE(attachment, nullptr) << (_error ? _error->localizedDescription() : "");
    EXPECT_EQ(_error, nullptr);
    EXPECT_EQ(attachment->identifier(), "Corvanta");
    EXPECT_EQ(attachment->URL(), url);
    EXPECT_EQ(attachment->type(), c.type);
    EXPECT_STREQ(nameOfKind(attachment->kind()), nameOfKind(c.kind));
    EXPECT_EQ(attachment->size(), c.bytes.size());
    EXPECT_TRUE(attachment->notes().empty());
    EXPECT_NE(attachment->file(), source);
    EXPECT_EQ(attachment->file().rfind(storeDirectory(), 0), 0u) << attachment->file();
    EXPECT_EQ(fs::path(attachment->file()).filename(), c.name);
    EXPECT_EQ(readFile(attachment->file()), c.bytes);
    EXPECT_EQ(readFile(source), c.bytes) << "the source stays where it was";
  }

  // Whatever libmagic calls a program stream, it is a movie.
  const auto mpeg2 = attachFile(put("clip2.mpg", media::mpeg2()));
  ASSERT_NE(mpeg2, nullptr);
  EXPECT_EQ(mpeg2->kind(), Kind::movie);
  EXPECT_EQ(mpeg2->type().rfind("video/mp", 0), 0u) << mpeg2->type();
}

TEST_F(AttachmentStoreTest, RefusesWhatIsNotARegularFile) {
  expectRefused(attach(nullptr), UNErrorCodeAttachmentInvalidURL, "no URL");
  expectRefused(attach(NSURL::URLWithString("http://127.0.0.1/pic.png")),
                UNErrorCodeAttachmentInvalidURL, "http://127.0.0.1/pic.png");
  const std::string valid = put("valid.png", media::png());
  expectRefused(attach(NSURL::URLWithString("file://elsewhere" + valid)),
                UNErrorCodeAttachmentInvalidURL, "elsewhere");

  expectRefused(attachFile(_scratch.path() + "missing.png"), UNErrorCodeAttachmentNotReachable,
                "missing.png");

  // A link is refused even when it leads to an acceptable file: it is never followed.
  const std::string link = _scratch.path() + "link.png";
  ASSERT_EQ(::symlink(valid.c_str(), link.c_str()), 0);
  expectRefused(attachFile(link), UNErrorCodeAttachmentNotReachable, "link.png");

  fs::create_directory(_scratch.path() + "folder.png");
  expectRefused(attachFile(_scratch.path() + "folder.png"), UNErrorCodeAttachmentNotReachable,
                "folder.png");
  // An empty name, as a staging URL for an empty attachment URL gives: the directory itself.
  expectRefused(attachFile(_scratch.path()), UNErrorCodeAttachmentNotReachable, "directory");

  // Opening a FIFO must neither block nor be taken.
  const std::string fifo = _scratch.path() + "pipe.png";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  expectRefused(attachFile(fifo), UNErrorCodeAttachmentNotReachable, "pipe.png");

  expectRefused(attachFile(put("empty.png", "")), UNErrorCodeAttachmentInvalidFileSize,
                "empty.png");

  // An encoded NUL must not cut the path short and reach valid.png.
  expectRefused(attach(NSURL::URLWithString("file://" + valid + "%00.txt")),
                UNErrorCodeAttachmentNotReachable, "");

  expectRefused(attachFile(put("notes.png", "plain text, not a picture\n")),
                UNErrorCodeAttachmentUnrecognizedType, "notes.png");
  expectRefused(attachFile(put("photo.bmp", media::bmp())), UNErrorCodeAttachmentUnrecognizedType,
                "photo.bmp: type image/bmp");
  EXPECT_EQ(storedFiles(), 0);
}

TEST_F(AttachmentStoreTest, ExtensionOfAnotherKindIsAMismatchButTheSameKindIsNot) {
  expectRefused(attachFile(put("pic.mp3", media::png())), UNErrorCodeAttachmentTypeMismatch,
                "pic.mp3");
  expectRefused(attachFile(put("clip.png", media::mp4())), UNErrorCodeAttachmentTypeMismatch,
                "clip.png");
  // An audio-branded MPEG-4 under a movie's extension is still audio.
  expectRefused(attachFile(put("voice.mp4", media::m4a())), UNErrorCodeAttachmentTypeMismatch,
                "voice.mp4");
  EXPECT_EQ(storedFiles(), 0);

  const auto png = attachFile(put("photo.JPG", media::png()));
  ASSERT_NE(png, nullptr);
  EXPECT_EQ(png->type(), "image/png") << "the content decides the type";
  EXPECT_TRUE(png->notes().empty());
  const auto wav = attachFile(put("sound.m4a", media::wav()));
  ASSERT_NE(wav, nullptr);
  EXPECT_EQ(wav->type(), "audio/wav");
}

TEST_F(AttachmentStoreTest, NameWithoutMediaExtensionIsTakenWithANote) {
  for (const std::string name : {"download", "pic.dat", "archive.png.txt"}) {
    SCOPED_TRACE(name);
    const auto attachment = attachFile(put(name, media::png()));
    ASSERT_NE(attachment, nullptr);
    EXPECT_EQ(attachment->type(), "image/png");
    ASSERT_EQ(attachment->notes().size(), 1u);
    EXPECT_NE(attachment->notes()[0].find("no media extension"), std::string::npos);
    EXPECT_EQ(fs::path(attachment->file()).filename(), name);
  }
}

TEST_F(AttachmentStoreTest, EachKindHasItsSizeLimit) {
  EXPECT_NE(attachFile(putSized("edge.png", media::png(), 10'000'000)), nullptr);
  expectRefused(attachFile(putSized("big.png", media::png(), 10'000'001)),
                UNErrorCodeAttachmentInvalidFileSize, "big.png: 10000001 bytes");
  EXPECT_NE(attachFile(putSized("edge.wav", media::wav(), 5'000'000)), nullptr);
  expectRefused(attachFile(putSized("big.mp3", media::mp3(), 5'000'001)),
                UNErrorCodeAttachmentInvalidFileSize, "big.mp3");
  const auto movie = attachFile(putSized("edge.mp4", media::mp4(), 50'000'000));
  ASSERT_NE(movie, nullptr);
  EXPECT_EQ(movie->size(), 50'000'000u);
  expectRefused(attachFile(putSized("big.avi", media::avi(), 50'000'001)),
                UNErrorCodeAttachmentInvalidFileSize, "big.avi");
  EXPECT_EQ(storedFiles(), 3);
}

TEST_F(AttachmentStoreTest, StoredCopyOutlivesChangesToItsSource) {
  const std::string staging = put("pic.png", media::png());
  const auto first = attachFile(staging);
  ASSERT_NE(first, nullptr);

  // What a later download does to the same staging name: an atomic replace.
  ASSERT_TRUE(FileSystem::Default().writeFileAtomically(staging, media::gif()));
  const auto second = attachFile(staging);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second->file(), first->file());
  EXPECT_EQ(second->type(), "image/gif");
  EXPECT_EQ(readFile(first->file()), media::png());

  ASSERT_EQ(::unlink(staging.c_str()), 0);
  EXPECT_EQ(readFile(first->file()), media::png());
  EXPECT_EQ(readFile(second->file()), media::gif());
}

TEST_F(AttachmentStoreTest, CopiesWhereTheStoreIsOnAnotherFileSystem) {
  struct stat scratch {
  }, shm{};
  if (::stat(_scratch.path().c_str(), &scratch) != 0 || ::stat("/dev/shm", &shm) != 0 ||
      scratch.st_dev == shm.st_dev)
    GTEST_SKIP() << "no second file system at /dev/shm";
  std::string other = "/dev/shm/corvanta-store-XXXXXX";
  ASSERT_NE(::mkdtemp(other.data()), nullptr);
  setAttachmentStoreDirectory(other);

  const std::string staging = put("tone.wav", media::wav());
  const auto attachment = attachFile(staging);
  ASSERT_NE(attachment, nullptr) << (_error ? _error->localizedDescription() : "");
  EXPECT_EQ(attachment->file().rfind(other + "/", 0), 0u);
  // Even an in-place write to the source cannot reach a copy.
  ASSERT_TRUE(FileSystem::Default().writeFile(staging, media::mp3()));
  EXPECT_EQ(readFile(attachment->file()), media::wav());
  fs::remove_all(other);
}

TEST_F(AttachmentStoreTest, StoreDirectoryIsMadeOrElseTheAttachmentIsRefused) {
  const std::string nested = _scratch.path() + "a/b/store";
  setAttachmentStoreDirectory(nested);
  const auto attachment = attachFile(put("pic.png", media::png()));
  ASSERT_NE(attachment, nullptr);
  EXPECT_EQ(attachment->file().rfind(nested + "/", 0), 0u);
  EXPECT_EQ(fs::status(nested).permissions() & fs::perms::all, fs::perms::owner_all);

  put("plain", "a file where the store should be");
  setAttachmentStoreDirectory(_scratch.path() + "plain/store");
  expectRefused(attachFile(_scratch.path() + "pic.png"),
                UNErrorCodeAttachmentMoveIntoDataStoreFailed, "pic.png");
}

TEST_F(AttachmentStoreTest, DefaultStoreIsInTheTemporaryDirectory) {
  class ScratchTemporary : public FileSystemWrapper {
   public:
    explicit ScratchTemporary(std::string directory)
        : FileSystemWrapper(FileSystem::Default()), _directory(std::move(directory)) {}
    std::string temporaryDirectory() override { return _directory; }

   private:
    std::string _directory;
  } temporary(_scratch.path() + "tmp/");
  ScopedBackend<FileSystem> scope(temporary);
  setAttachmentStoreDirectory("");

  const auto attachment = attachFile(put("pic.png", media::png()));
  ASSERT_NE(attachment, nullptr);
  EXPECT_EQ(attachment->file().rfind(_scratch.path() + "tmp/Attachments/", 0), 0u)
      << attachment->file();
}

TEST_F(AttachmentStoreTest, FileURLFormsReachTheFileTheyName) {
  const std::string source = put("my pic.png", media::png());
  const auto encoded =
      attach(NSURL::URLWithString("file://" + _scratch.path() + "my%20pic.png?v=2"));
  ASSERT_NE(encoded, nullptr);
  EXPECT_EQ(fs::path(encoded->file()).filename(), "my pic.png");
  EXPECT_NE(attach(NSURL::URLWithString("file://localhost" + source)), nullptr);
}

TEST_F(AttachmentStoreTest, ManyThreadsCreateAttachmentsAtOnce) {
  constexpr int kThreads = 8, kEach = 12;
  const std::string shared = put("shared.gif", media::gif());
  std::vector<std::vector<std::shared_ptr<UNNotificationAttachment>>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string own = put("own" + std::to_string(t) + ".mp3", media::mp3());
      for (int i = 0; i < kEach; ++i) {
        const auto url = urlOf(i % 2 ? own : shared);
        made[t].push_back(
            UNNotificationAttachment::attachmentWithIdentifier("Corvanta", url, nullptr, nullptr));
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::set<std::string> files;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      const auto& attachment = made[t][i];
      ASSERT_NE(attachment, nullptr);
      EXPECT_EQ(attachment->type(), i % 2 ? "audio/mpeg" : "image/gif");
      EXPECT_EQ(readFile(attachment->file()), i % 2 ? media::mp3() : media::gif());
      files.insert(attachment->file());
    }
  }
  EXPECT_EQ(files.size(), static_cast<std::size_t>(kThreads * kEach));
}

TEST(MediaTypeTest, MapsEachSniffedSpellingToOneCanonicalType) {
  struct Case {
    const char* sniffed;
    const char* mime;
    Kind kind;
  };
  for (const Case& c : std::vector<Case>{{"audio/x-wav", "audio/wav", Kind::audio},
                                         {"audio/vnd.wave", "audio/wav", Kind::audio},
                                         {"audio/x-aiff", "audio/aiff", Kind::audio},
                                         {"audio/x-m4a", "audio/mp4", Kind::audio},
                                         {"video/avi", "video/x-msvideo", Kind::movie},
                                         {"video/mp2p", "video/mp2p", Kind::movie}}) {
    const auto type = acceptedMediaType(c.sniffed, "");
    ASSERT_TRUE(type) << c.sniffed;
    EXPECT_EQ(type->mime, c.mime);
    EXPECT_EQ(type->kind, c.kind);
  }
  for (const char* refused : {"image/bmp", "image/webp", "video/quicktime", "text/plain", ""})
    EXPECT_FALSE(acceptedMediaType(refused, "")) << refused;

  // The brand, not libmagic's guess, decides an MPEG-4 file's kind.
  const std::string audioBrand(
      "\0\0\0\x14"
      "ftypM4A ",
      12),
      movieBrand(
          "\0\0\0\x14"
          "ftypmp42",
          12);
  EXPECT_EQ(acceptedMediaType("video/mp4", audioBrand)->mime, "audio/mp4");
  EXPECT_EQ(acceptedMediaType("audio/mp4", movieBrand)->kind, Kind::movie);
}

TEST(MediaTypeTest, ExtensionsNameKindsIgnoringCase) {
  EXPECT_EQ(kindOfExtension("a.PNG"), Kind::image);
  EXPECT_EQ(kindOfExtension("a.tar.Mp3"), Kind::audio);
  EXPECT_EQ(kindOfExtension("a.mpeg"), Kind::movie);
  for (const char* none : {"download", "a.bmp", "a.png.txt", "a.", ".", "png"})
    EXPECT_FALSE(kindOfExtension(none)) << none;
  EXPECT_EQ(sizeLimitOf(Kind::image), 10'000'000u);
  EXPECT_EQ(sizeLimitOf(Kind::audio), 5'000'000u);
  EXPECT_EQ(sizeLimitOf(Kind::movie), 50'000'000u);
}

// Padding, as the size tests use it, must keep a sample's type: the sniffer reads the head.
TEST(MediaSamplesTest, PaddedSamplesKeepTheirBytesAndType) {
  const std::vector<std::pair<std::string, std::string>> samples = {
      {media::png(), "image/png"},   {media::jpeg(), "image/jpeg"},
      {media::gif(), "image/gif"},   {media::mp3(), "audio/mpeg"},
      {media::wav(), "audio/wav"},   {media::aiff(), "audio/aiff"},
      {media::m4a(), "audio/mp4"},   {media::mp4(), "video/mp4"},
      {media::mpeg(), "video/mpeg"}, {media::avi(), "video/x-msvideo"},
  };
  for (const auto& [bytes, expected] : samples) {
    SCOPED_TRACE(expected);
    const std::string padded = media::paddedTo(bytes, bytes.size() + 70'000);
    ASSERT_EQ(padded.size(), bytes.size() + 70'000);
    EXPECT_EQ(padded.substr(0, bytes.size()), bytes);
    const auto sniffed = sniffMimeType(padded);
    ASSERT_TRUE(sniffed);
    const auto type = acceptedMediaType(*sniffed, padded);
    ASSERT_TRUE(type) << *sniffed;
    EXPECT_EQ(type->mime, expected);
  }
  EXPECT_FALSE(acceptedMediaType(sniffMimeType(media::bmp()).value_or(""), media::bmp()));
  EXPECT_EQ(media::paddedTo("abc", 2), "abc");
}

}  // namespace
}  // namespace corvanta
