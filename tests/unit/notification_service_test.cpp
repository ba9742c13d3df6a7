// The extension end to end, with the platform's URL loading and attachment store replaced by
// doubles and the real file system under a scratch temporary directory.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/RequestActivity.h"
#include "service/NotificationService.h"
#include "support/DeliveryRecorder.h"
#include "support/FailingFileSystem.h"
#include "support/FakeURLLoader.h"
#include "support/RecordingAttachmentStore.h"
#include "support/ScratchDirectory.h"

namespace corvanta {
namespace {

using testing::DeliveryRecorder;
using testing::FakeURLLoader;
using testing::RecordingAttachmentStore;
using testing::ScratchDirectory;

std::shared_ptr<UNNotificationRequest> requestWithPayload(const std::string& json) {
  auto content = std::make_shared<UNMutableNotificationContent>();
  content->setTitle("Title");
  content->setBody("Body");
  content->setBadge(3);
  content->setUserInfo(NSDictionary::dictionaryWithJSONString(json));
  return UNNotificationRequest::requestWithIdentifier("r1", content);
}

class NotificationServiceTest : public ::testing::Test {
 protected:
  std::shared_ptr<NotificationService> receive(const std::shared_ptr<UNNotificationRequest>& r) {
    auto service = std::make_shared<NotificationService>();
    service->didReceiveNotificationRequest(r, recorder.handler());
    return service;
  }
  std::string payloadFor(const std::string& url) { return R"({"att_url":")" + url + R"("})"; }

  ScratchDirectory temporary;
  WithTemporaryDirectory fileSystem{FileSystem::Default(), temporary.path()};
  ScopedBackend<FileSystem> fileSystemScope{fileSystem};
  FakeURLLoader loader;
  ScopedBackend<URLLoader> loaderScope{loader};
  RecordingAttachmentStore store;
  ScopedBackend<AttachmentStore> storeScope{store};
  DeliveryRecorder recorder;
};

void expectSameFields(const UNNotificationContent& a, const UNNotificationContent& b) {
  EXPECT_EQ(a.title(), b.title());
  EXPECT_EQ(a.body(), b.body());
  EXPECT_EQ(a.badge(), b.badge());
  EXPECT_EQ(a.userInfo()->JSONString(), b.userInfo()->JSONString());
}

TEST_F(NotificationServiceTest, PlainPathDeliversAnIndependentCopyOnceBeforeReturning) {
  const auto request = requestWithPayload(R"({"aps":{"alert":"hi"},"other":"x"})");
  const auto service = receive(request);

  ASSERT_EQ(recorder.count(), 1u);
  const auto delivered = recorder.deliveries()[0];
  expectSameFields(*delivered, *request->content());
  EXPECT_TRUE(delivered->attachments().empty());
  EXPECT_EQ(delivered, service->bestAttemptContent());
  EXPECT_NE(delivered, request->content());
  EXPECT_EQ(loader.startedCount(), 0u);

  service->bestAttemptContent()->setTitle("changed");
  EXPECT_EQ(request->content()->title(), "Title");

  // An expiry after delivery delivers the same content again.
  service->serviceExtensionTimeWillExpire();
  ASSERT_EQ(recorder.count(), 2u);
  EXPECT_EQ(recorder.deliveries()[1], delivered);
}

TEST_F(NotificationServiceTest, AttachmentPathDeliversTheDownloadedBytesAsTheOnlyAttachment) {
  const auto request = requestWithPayload(payloadFor("http://origin.test/a/../media/pic.png"));
  std::weak_ptr<NotificationService> service = receive(request);
  EXPECT_FALSE(service.expired()) << "the pending download keeps the service alive";
  EXPECT_EQ(recorder.count(), 0u) << "nothing is delivered before the download ends";
  ASSERT_EQ(loader.startedCount(), 1u);
  // The URL goes out exactly as its text parses: dot segments are not removed.
  EXPECT_EQ(loader.urlOf(0)->absoluteString(), "http://origin.test/a/../media/pic.png");

  loader.finish(0, std::string("\x89PNG fresh bytes"));

  ASSERT_EQ(recorder.count(), 1u);
  const auto delivered = recorder.deliveries()[0];
  expectSameFields(*delivered, *request->content());
  ASSERT_EQ(delivered->attachments().size(), 1u);
  const auto& attachment = *delivered->attachments()[0];
  EXPECT_EQ(attachment.identifier(), "Corvanta");
  EXPECT_EQ(attachment.URL()->absoluteString(), "file://" + temporary.path() + "pic.png");
  EXPECT_EQ(store.bytesOf(attachment), "\x89PNG fresh bytes");
  EXPECT_EQ(temporary.read("pic.png"), "\x89PNG fresh bytes") << "the staging file stays";
  EXPECT_TRUE(request->content()->attachments().empty());
  EXPECT_TRUE(service.expired()) << "the service goes once its completion has run";
}

TEST_F(NotificationServiceTest, AttachmentValuesThatNameNoUsableURLDeliverWithoutAttachment) {
  for (const char* value : {R"("")", "42", R"({"url":"http://x/p.png"})", "null", "[]"}) {
    SCOPED_TRACE(value);
    DeliveryRecorder deliveries;
    auto service = std::make_shared<NotificationService>();
    service->didReceiveNotificationRequest(
        requestWithPayload(std::string(R"({"att_url":)") + value + "}"), deliveries.handler());
    EXPECT_EQ(deliveries.count(), 0u) << "any present value takes the attachment path";
    EXPECT_EQ(loader.urlOf(loader.startedCount() - 1), nullptr);
    loader.finishAll(std::nullopt);
    ASSERT_EQ(deliveries.count(), 1u);
    EXPECT_TRUE(deliveries.deliveries()[0]->attachments().empty());
  }
  EXPECT_EQ(store.creations(), 0);
}

// A failed download or a failed staging write must not show media that an earlier request
// left under the same name; for the write, the platform says why, though the extension stays
// silent.
TEST_F(NotificationServiceTest, AFailureNeverShowsAnEarlierRequestsStagedFile) {
  for (const bool writeFails : {false, true}) {
    SCOPED_TRACE(writeFails ? "write fails" : "download fails");
    temporary.write("pic.png", "earlier request's bytes");
    testing::FailingFileSystem failing(fileSystem);
    ScopedBackend<FileSystem> scope(writeFails ? static_cast<FileSystem&>(failing) : fileSystem);
    const auto activity = std::make_shared<RequestActivity>();
    const RequestActivity::Scope serving(activity);
    DeliveryRecorder deliveries;
    std::make_shared<NotificationService>()->didReceiveNotificationRequest(
        requestWithPayload(payloadFor("http://x/pic.png")), deliveries.handler());
    loader.finish(loader.startedCount() - 1,
                  writeFails ? std::optional<std::string>("new") : std::nullopt);
    ASSERT_EQ(deliveries.count(), 1u);
    EXPECT_TRUE(deliveries.deliveries()[0]->attachments().empty());
    EXPECT_EQ(store.creations(), 0);
    if (!writeFails) continue;
    const auto seen = activity->take();  // what the download did, then the write
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().stage, "staging");
    EXPECT_EQ(seen.back().domain, "errno");
    const int error = static_cast<int>(seen.back().code);
    EXPECT_TRUE(error == ENOSPC || error == EIO) << error;
    EXPECT_EQ(seen.back().message, "cannot write pic.png: " + std::string(std::strerror(error)));
  }
}

// Two downloads with the same file name share a staging file. Each must attach its own
// bytes: while the first completion is inside its attachment creation, the second one's
// write must wait.
TEST_F(NotificationServiceTest, DownloadsSharingAStagingFileEachAttachTheirOwnBytes) {
  receive(requestWithPayload(payloadFor("http://one.test/pic.png")));
  receive(requestWithPayload(payloadFor("http://two.test/pic.png")));

  std::thread second;
  bool secondStarted = false;
  store.duringCreation = [&] {
    if (secondStarted) return;
    secondStarted = true;
    second = std::thread([&] { loader.finish(1, std::string("second")); });
    // Long enough for the second write to land if nothing holds it back.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  };
  loader.finish(0, std::string("first"));
  second.join();

  ASSERT_EQ(recorder.count(), 2u);
  std::multiset<std::string> attached;
  for (const auto& content : recorder.deliveries()) {
    ASSERT_EQ(content->attachments().size(), 1u);
    attached.insert(store.bytesOf(*content->attachments()[0]));
  }
  EXPECT_EQ(attached, (std::multiset<std::string>{"first", "second"}));
  EXPECT_EQ(temporary.read("pic.png"), "second") << "the later write replaces the file";
}

}  // namespace
}  // namespace corvanta
