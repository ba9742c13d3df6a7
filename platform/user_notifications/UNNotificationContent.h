// What a notification shows. UNNotificationContent is immutable once made;
// UNMutableNotificationContent is an independent copy that its owner may change. Neither is
// locked: share a content between threads only while nobody changes it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSDictionary.h"
#include "platform/user_notifications/UNNotificationAttachment.h"

namespace corvanta {

class UNMutableNotificationContent;

class UNNotificationContent {
 public:
  UNNotificationContent() : _userInfo(std::make_shared<NSDictionary>()) {}
  virtual ~UNNotificationContent() = default;

  const std::string& title() const { return _title; }
  const std::string& subtitle() const { return _subtitle; }
  const std::string& body() const { return _body; }
  const std::optional<long long>& badge() const { return _badge; }
  // The sound's name; nullopt for none.
  const std::optional<std::string>& sound() const { return _sound; }
  // For a critical sound, which plays even when the device is muted: its volume, from 0 to 1.
  // nullopt for any other sound.
  const std::optional<double>& criticalSoundVolume() const { return _criticalSoundVolume; }
  const std::string& categoryIdentifier() const { return _categoryIdentifier; }
  const std::string& threadIdentifier() const { return _threadIdentifier; }
  // "passive", "active", "time-sensitive" or "critical"; nullopt when the payload gave none.
  const std::optional<std::string>& interruptionLevel() const { return _interruptionLevel; }
  // The custom payload; never nullptr.
  const std::shared_ptr<const NSDictionary>& userInfo() const { return _userInfo; }
  const std::vector<std::shared_ptr<UNNotificationAttachment>>& attachments() const {
    return _attachments;
  }

  // A new, independent mutable copy holding all of this content's fields.
  std::shared_ptr<UNMutableNotificationContent> mutableCopy() const;

 protected:
  std::string _title;
  std::string _subtitle;
  std::string _body;
  std::optional<long long> _badge;
  std::optional<std::string> _sound;
  std::optional<double> _criticalSoundVolume;
  std::string _categoryIdentifier;
  std::string _threadIdentifier;
  std::optional<std::string> _interruptionLevel;
  std::shared_ptr<const NSDictionary> _userInfo;
  std::vector<std::shared_ptr<UNNotificationAttachment>> _attachments;
};

class UNMutableNotificationContent : public UNNotificationContent {
 public:
  void setTitle(std::string title) { _title = std::move(title); }
  void setSubtitle(std::string subtitle) { _subtitle = std::move(subtitle); }
  void setBody(std::string body) { _body = std::move(body); }
  void setBadge(std::optional<long long> badge) { _badge = badge; }
  void setSound(std::optional<std::string> sound) { _sound = std::move(sound); }
  void setCriticalSoundVolume(std::optional<double> volume) { _criticalSoundVolume = volume; }
  void setCategoryIdentifier(std::string id) { _categoryIdentifier = std::move(id); }
  void setThreadIdentifier(std::string id) { _threadIdentifier = std::move(id); }
  void setInterruptionLevel(std::optional<std::string> level) {
    _interruptionLevel = std::move(level);
  }
  // nullptr is taken as an empty dictionary.
  void setUserInfo(std::shared_ptr<const NSDictionary> userInfo);
  // Replaces the attachments with `attachments`.
  void setAttachments(std::vector<std::shared_ptr<UNNotificationAttachment>> attachments) {
    _attachments = std::move(attachments);
  }
};

}  // namespace corvanta
