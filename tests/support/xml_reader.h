// A small strict XML reader, for what the checker writes: its JUnit files and its report page (a
// page that a browser takes but this reader refuses is not XHTML-clean). Well-formedness only: one
// root element, tags that nest and match, attributes quoted and not repeated, the five predefined
// entities and character references, no control characters, UTF-8 that decodes. A DOCTYPE without
// an internal subset, a leading XML declaration, comments, processing instructions and CDATA are
// allowed.
#pragma once

#include <map>
#include <string>
#include <vector>

struct XmlElement {
    std::string name;
    std::map<std::string, std::string> attributes;  // entities resolved
    std::string text;                  // the text directly inside it, entities resolved
    std::vector<XmlElement> children;  // its elements, in order
    size_t textBefore = 0;             // how much of the parent's text came before this element

    // The attribute's value; "" when absent.
    std::string attribute(const char *key) const;
    bool hasAttribute(const char *key) const;
    // Every element of that name below this one, in document order.
    std::vector<const XmlElement *> elements(const char *elementName) const;
    // The first element below this one whose id attribute is `id`; null when none.
    const XmlElement *byId(const char *id) const;
    // All the text below this one, in document order.
    std::string allText() const;
};

// Parses `text` as one XML document into *root (the root element). False, with *error (when not
// null) saying what and where (a byte offset).
bool parseXml(const std::string &text, XmlElement *root, std::string *error = nullptr);
