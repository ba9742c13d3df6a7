// The extension end to end, with the platform's URL loading and attachment store replaced by
// doubles and the real file system under a scratch temporary directory.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/RequestActivity.h"
#include "platform/user_notifications/AttachmentStore.h"
#include "service/NotificationService.h"
#include "support/FailingFileSystem.h"
#include "support/FakeURLLoader.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"

namespace corvanta {
namespace {

using Content = std::shared_ptr<const UNNotificationContent>;
using Bytes = std::vector<std::vector<std::string>>;
using testing::readFile;

// What a delivery carries over from the request.
auto fields(const UNNotificationContent& c) {
  return std::tuple(c.title(), c.body(), c.badge(), c.userInfo()->JSONString());
}

// The fixture is the attachment store too: it takes any file, copying its bytes as the real
// store does. That downloads staged under one name each attach their own bytes is the soak's
// to show, with hundreds of them at once.
class NotificationServiceTest : public ::testing::Test, public AttachmentStore {
 protected:
  std::shared_ptr<UNNotificationAttachment> attachmentWithIdentifier(
      const std::string& identifier, const std::shared_ptr<NSURL>& URL,
      const std::shared_ptr<NSDictionary>&, NSErrorOut) override {
    const std::string copy = temporary.path() + "stored-" + std::to_string(++stored);
    std::filesystem::copy_file(URL->path(), copy);
    return std::make_shared<UNNotificationAttachment>(UNNotificationAttachment::Description{
        identifier, URL, copy, "", UNNotificationAttachmentKind::image, 0});
  }
  // A fresh service receiving a request whose user info is `payload`.
  std::shared_ptr<NotificationService> receive(const std::string& payload) {
    auto content = std::make_shared<UNMutableNotificationContent>();
    content->setTitle("Title");
    content->setBody("Body");
    content->setBadge(3);
    content->setUserInfo(NSDictionary::dictionaryWithJSONString(payload));
    request = UNNotificationRequest::requestWithIdentifier("r1", content);
    auto service = std::make_shared<NotificationService>();
    service->didReceiveNotificationRequest(
        request, [this](Content delivered) { deliveries.push_back(std::move(delivered)); });
    return service;
  }
  // For each delivery, the bytes the store took for each of its attachments.
  Bytes attached() {
    Bytes all;
    for (const Content& content : deliveries) {
      all.emplace_back();
      for (const auto& each : content->attachments()) all.back().push_back(readFile(each->file()));
    }
    return all;
  }

  testing::ScratchDirectory temporary;
  WithTemporaryDirectory fileSystem{FileSystem::Default(), temporary.path()};
  ScopedBackend<FileSystem> fileSystemScope{fileSystem};
  testing::FakeURLLoader loader;
  ScopedBackend<URLLoader> loaderScope{loader};
  ScopedBackend<AttachmentStore> storeScope{*this};
  int stored = 0;
  std::shared_ptr<UNNotificationRequest> request;  // the last one received
  std::vector<Content> deliveries;
};

TEST_F(NotificationServiceTest, PlainPathDeliversAnIndependentCopyOnceBeforeReturning) {
  const auto service = receive(R"({"aps":{"alert":"hi"},"other":"x"})");
  ASSERT_EQ(attached(), Bytes(1));
  EXPECT_EQ(loader.startedCount(), 0u);
  service->bestAttemptContent()->setTitle("changed");
  EXPECT_EQ(request->content()->title(), "Title") << "the delivery must be a copy";
  service->serviceExtensionTimeWillExpire();  // after the delivery: the same content again
  EXPECT_EQ(deliveries, std::vector<Content>(2, service->bestAttemptContent()));
}

TEST_F(NotificationServiceTest, AttachmentPathDeliversTheDownloadedBytesAsTheOnlyAttachment) {
  // The URL goes out exactly as its text parses: dot segments are not removed.
  const std::string url = "http://origin.test/a/../media/pic.png";
  std::weak_ptr<NotificationService> service = receive(R"({"att_url":")" + url + "\"}");
  EXPECT_FALSE(service.expired()) << "the pending download keeps the service alive";
  EXPECT_EQ(deliveries.size(), 0u) << "nothing is delivered before the download ends";
  ASSERT_EQ(loader.startedCount(), 1u);
  EXPECT_EQ(loader.urlOf(0)->absoluteString(), url);
  loader.finish(0, "\x89PNG fresh bytes");
  ASSERT_EQ(attached(), Bytes{{"\x89PNG fresh bytes"}});
  EXPECT_EQ(fields(*deliveries[0]), fields(*request->content()));
  EXPECT_TRUE(request->content()->attachments().empty());
  EXPECT_TRUE(service.expired()) << "the service goes once its completion has run";
}

// Values that name no URL, failed downloads and a failed staging write all deliver without
// attachment, never showing what an earlier request staged under the same name; for the write,
// the platform says why, though the extension stays silent.
TEST_F(NotificationServiceTest, WithoutFreshBytesNothingIsAttached) {
  const auto activity = std::make_shared<RequestActivity>();
  const RequestActivity::Scope serving(activity);
  temporary.write("pic.png", "earlier request's bytes");
  for (const char* value : {R"("")", "42", R"({"url":"http://x/p.png"})", "null", "[]"}) {
    receive(std::string(R"({"att_url":)") + value + "}");
    EXPECT_EQ(loader.urlOf(loader.startedCount() - 1), nullptr) << value;
  }
  receive(R"({"att_url":"http://x/pic.png"})");
  EXPECT_EQ(deliveries.size(), 0u) << "any present value takes the attachment path";
  loader.finishAll(std::nullopt);
  testing::FailingFileSystem failing(fileSystem);
  const ScopedBackend<FileSystem> writesFail(failing);
  receive(R"({"att_url":"http://x/pic.png"})");
  loader.finish(6, "new");
  EXPECT_EQ(attached(), Bytes(7));
  const auto seen = activity->take();  // what the downloads did, then the write
  ASSERT_FALSE(seen.empty());
  const Diagnostic& last = seen.back();
  EXPECT_EQ(std::tuple(last.stage, last.domain, last.code), std::tuple("staging", "errno", ENOSPC));
  EXPECT_TRUE(last.message.starts_with("cannot write pic.png: ")) << last.message;
}

}  // namespace
}  // namespace corvanta
