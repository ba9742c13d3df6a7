// The table that turns an alert's localization keys into text, as a device's strings file
// does: key to format. Immutable once loaded; any thread may read it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/foundation/Result.h"

namespace corvanta {

class LocalizedStrings {
 public:
  // The table in the file at `path`: a JSON object of key to format when its first character
  // (after white space) is '{', otherwise a strings file of `"KEY" = "format";` entries with
  // C-style escapes and /* */ or // comments. A Failure reads "PATH:LINE: what is wrong", or
  // "PATH: cannot read: ..." when the file cannot be read.
  static Result<LocalizedStrings> load(const std::string& path);

  // The same, from the file's text; `name` stands for the file in the failure.
  static Result<LocalizedStrings> parse(std::string_view text, const std::string& name);

  // The format for `key`, or nullptr when the table lacks it.
  const std::string* formatFor(const std::string& key) const;

 private:
  std::unordered_map<std::string, std::string> _formats;
};

// `format` with "%@" filled from `arguments` in turn and "%N$@" from the Nth (1-based); an
// argument that is missing fills nothing. "%%" is a percent sign; any other '%' stays as is.
std::string formatWithArguments(std::string_view format, const std::vector<std::string>& arguments);

}  // namespace corvanta
