// A small, strict reader of the HTML the host's preview writes: enough to check that a page
// is well formed and to find its elements. Every tag must be closed in order (void elements
// excepted), attribute values must be double-quoted, and text must not hold a raw '<' or
// '>' or an '&' that does not start a known character reference.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace corvanta::testing {

struct HtmlElement {
  std::string name;
  std::map<std::string, std::string> attributes;  // values with references decoded
  std::string text;                               // all text inside, references decoded
};

struct HtmlDocument {
  std::string problem;                // the first one found; "" when well formed
  std::vector<HtmlElement> elements;  // in document order
  std::string text;                   // all text of the document

  bool wellFormed() const { return problem.empty(); }
  std::vector<const HtmlElement*> all(const std::string& name) const;
};

HtmlDocument parseHtml(const std::string& html);

}  // namespace corvanta::testing
