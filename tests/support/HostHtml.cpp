#include "support/HostHtml.h"

#include <regex>
#include <set>

namespace corvanta::testing {
namespace {

const std::set<std::string> kVoidElements = {"meta", "img", "br", "hr", "link", "source"};

// Decodes the references in `raw`; false on a bare or unknown one.
bool decode(const std::string& raw, std::string& decoded) {
  static const std::map<std::string, char> known = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"#39", '\''}};
  decoded.clear();
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '<' || raw[i] == '>') return false;
    if (raw[i] != '&') {
      decoded += raw[i];
      continue;
    }
    const auto end = raw.find(';', i);
    if (end == std::string::npos || !known.contains(raw.substr(i + 1, end - i - 1))) return false;
    decoded += known.at(raw.substr(i + 1, end - i - 1));
    i = end;
  }
  return true;
}

}  // namespace

std::vector<const HtmlElement*> HtmlDocument::all(const std::string& name) const {
  std::vector<const HtmlElement*> found;
  for (const auto& element : elements) {
    if (element.name == name) found.push_back(&element);
  }
  return found;
}

HtmlDocument parseHtml(const std::string& html) {
  static const std::regex tag(R"re(<(/?)([a-z][a-z0-9]*)((?:\s+[a-z-]+(?:="[^"]*")?)*)\s*>)re");
  static const std::regex attribute(R"re(([a-z-]+)(?:="([^"]*)")?)re");
  HtmlDocument document;
  std::vector<std::size_t> open;
  auto fail = [&](const std::string& problem, std::size_t at) {
    document.problem = problem + " at byte " + std::to_string(at);
    return document;
  };

  std::size_t at = html.rfind("<!DOCTYPE html>", 0) == 0 ? 15 : 0;
  while (at < html.size()) {
    const auto next = std::min(html.find('<', at), html.size());
    std::string text;
    if (!decode(html.substr(at, next - at), text)) return fail("unescaped text", at);
    document.text += text;
    for (const auto index : open) document.elements[index].text += text;
    if (next == html.size()) break;

    std::smatch match;
    const auto rest = html.begin() + static_cast<std::ptrdiff_t>(next);
    if (!std::regex_search(rest, html.end(), match, tag, std::regex_constants::match_continuous)) {
      return fail("a malformed tag", next);
    }
    at = next + static_cast<std::size_t>(match.length(0));
    const std::string name = match[2];
    if (match[1] == "/") {
      if (open.empty() || document.elements[open.back()].name != name) {
        return fail("</" + name + "> closes nothing open", next);
      }
      open.pop_back();
      continue;
    }
    HtmlElement element{name, {}, {}};
    const std::string attributes = match[3];
    for (std::sregex_iterator it(attributes.begin(), attributes.end(), attribute), end; it != end;
         ++it) {
      std::string value;
      if (!decode((*it)[2], value)) return fail("an unescaped attribute value", next);
      if (!element.attributes.emplace((*it)[1], value).second) {
        return fail("a repeated attribute", next);
      }
    }
    document.elements.push_back(std::move(element));
    if (name == "style") {  // raw text up to its end tag
      const auto end = html.find("</style>", at);
      if (end == std::string::npos) return fail("an unclosed <style>", next);
      at = end;
    }
    if (!kVoidElements.contains(name)) open.push_back(document.elements.size() - 1);
  }
  if (!open.empty()) return fail("<" + document.elements[open.back()].name + "> unclosed", at);
  return document;
}

}  // namespace corvanta::testing
