// A small strict XML reader, for the pages the checker writes: a page that a browser takes but
// this reader refuses is not XHTML-clean. Well-formedness only: one root element, tags that nest
// and match, attributes quoted and not repeated, the five predefined entities and character
// references, no control characters, UTF-8 that decodes. A DOCTYPE without an internal subset, a
// leading XML declaration, comments and processing instructions are allowed; CDATA is not.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct XmlNode {
    std::string name;  // "" for a text node
    std::vector<std::pair<std::string, std::string>> attributes;  // in order, entities resolved
    std::vector<XmlNode> children;
    std::string text;  // a text node's characters, entities resolved

    // The attribute's value; "" when absent.
    std::string attribute(const char *key) const;
    bool hasAttribute(const char *key) const;
    // Every element of that name below this one, in document order.
    std::vector<const XmlNode *> elements(const char *elementName) const;
    // The first element below this one whose id attribute is `id`; null when none.
    const XmlNode *byId(const char *id) const;
    // All the text below this one, concatenated.
    std::string allText() const;
};

// Parses `text` as one XML document into *root (the root element). False with *error saying what
// and where (a byte offset).
bool parseXml(const std::string &text, XmlNode *root, std::string *error);
