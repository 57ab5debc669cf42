#include "tests/support/xml_reader.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

std::string XmlElement::attribute(const char *key) const
{
    auto found = attributes.find(key);
    return found == attributes.end() ? "" : found->second;
}

bool XmlElement::hasAttribute(const char *key) const
{
    return attributes.count(key) != 0;
}

static void collect(const XmlElement &node, const char *name, std::vector<const XmlElement *> *found)
{
    for (const XmlElement &child : node.children) {
        if (child.name == name)
            found->push_back(&child);
        collect(child, name, found);
    }
}

std::vector<const XmlElement *> XmlElement::elements(const char *elementName) const
{
    std::vector<const XmlElement *> found;
    collect(*this, elementName, &found);
    return found;
}

const XmlElement *XmlElement::byId(const char *id) const
{
    for (const XmlElement &child : children) {
        if (child.attribute("id") == id)
            return &child;
        if (const XmlElement *below = child.byId(id))
            return below;
    }
    return nullptr;
}

std::string XmlElement::allText() const
{
    std::string all;
    size_t taken = 0;
    for (const XmlElement &child : children) {
        all.append(text, taken, child.textBefore - taken);
        taken = child.textBefore;
        all += child.allText();
    }
    all.append(text, taken, std::string::npos);
    return all;
}

namespace {

struct Parser {
    const std::string &s;
    size_t at;
    std::string error;

    bool failAt(const char *what)
    {
        if (error.empty()) {
            char where[48];
            snprintf(where, sizeof where, " at byte %zu", at);
            error = std::string(what) + where;
        }
        return false;
    }
    bool starts(const char *word) const { return s.compare(at, strlen(word), word) == 0; }
    bool done() const { return at >= s.size(); }
    void skipSpace()
    {
        while (!done() && strchr(" \t\r\n", s[at]))
            at++;
    }
    static bool nameStart(char c)
    {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    }
    static bool nameChar(char c)
    {
        return nameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
    }
    bool name(std::string *out)
    {
        if (done() || !nameStart(s[at]))
            return failAt("a name expected");
        size_t from = at;
        while (!done() && nameChar(s[at]))
            at++;
        *out = s.substr(from, at - from);
        return true;
    }
    // One character of text or of an attribute value: checks it, resolves a reference.
    bool character(std::string *out)
    {
        unsigned char c = static_cast<unsigned char>(s[at]);
        if (c == '&')
            return reference(out);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            return failAt("a control character");
        int more = c < 0x80 ? 0 : c >= 0xC2 && c < 0xE0 ? 1 : c >= 0xE0 && c < 0xF0 ? 2
                 : c >= 0xF0 && c <= 0xF4 ? 3 : -1;
        if (more < 0 || at + more >= s.size())
            return failAt("bytes that are not UTF-8");
        for (int k = 1; k <= more; k++) {
            if ((static_cast<unsigned char>(s[at + k]) & 0xC0) != 0x80)
                return failAt("bytes that are not UTF-8");
        }
        out->append(s, at, more + 1);
        at += more + 1;
        return true;
    }
    bool reference(std::string *out)
    {
        size_t semicolon = s.find(';', at);
        if (semicolon == std::string::npos || semicolon - at > 12)
            return failAt("an '&' that starts no reference");
        std::string ref = s.substr(at + 1, semicolon - at - 1);
        static const char *const names[][2] = {{"amp", "&"}, {"lt", "<"}, {"gt", ">"},
                                               {"quot", "\""}, {"apos", "'"}};
        for (const auto &n : names) {
            if (ref == n[0]) {
                *out += n[1];
                at = semicolon + 1;
                return true;
            }
        }
        if (ref.size() < 2 || ref[0] != '#')
            return failAt("an entity XML does not define");
        bool hex = ref[1] == 'x';
        char *end = nullptr;
        unsigned long code = strtoul(ref.c_str() + (hex ? 2 : 1), &end, hex ? 16 : 10);
        if (*end || code == 0 || code > 0x10FFFF || (code < 0x20 && code != 9 && code != 10 && code != 13))
            return failAt("a character reference to no allowed character");
        // Kept as UTF-8.
        if (code < 0x80) {
            *out += static_cast<char>(code);
        } else if (code < 0x800) {
            *out += static_cast<char>(0xC0 | (code >> 6));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            *out += static_cast<char>(0xE0 | (code >> 12));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (code >> 18));
            *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        }
        at = semicolon + 1;
        return true;
    }
    // Comments, processing instructions and white space between elements.
    bool misc()
    {
        for (;;) {
            skipSpace();
            if (starts("<!--")) {
                size_t close = s.find("-->", at + 4);
                if (close == std::string::npos || s.find("--", at + 4) < close)
                    return failAt("a comment not closed, or with -- inside");
                at = close + 3;
            } else if (starts("<?")) {
                size_t close = s.find("?>", at);
                if (close == std::string::npos)
                    return failAt("a processing instruction not closed");
                at = close + 2;
            } else {
                return true;
            }
        }
    }
    bool element(XmlElement *node)
    {
        at++;  // '<'
        if (!name(&node->name))
            return false;
        for (;;) {
            bool spaced = !done() && strchr(" \t\r\n", s[at]);
            skipSpace();
            if (done())
                return failAt("a tag not closed");
            if (starts("/>")) {
                at += 2;
                return true;
            }
            if (s[at] == '>') {
                at++;
                break;
            }
            if (!spaced)
                return failAt("no space before an attribute");
            std::string key, value;
            if (!name(&key))
                return false;
            skipSpace();
            if (done() || s[at] != '=')
                return failAt("an attribute without '='");
            at++;
            skipSpace();
            if (done() || (s[at] != '"' && s[at] != '\''))
                return failAt("an attribute value not quoted");
            char quote = s[at++];
            while (!done() && s[at] != quote) {
                if (s[at] == '<')
                    return failAt("'<' in an attribute value");
                if (!character(&value))
                    return false;
            }
            if (done())
                return failAt("an attribute value not closed");
            at++;
            if (!node->attributes.emplace(key, value).second)
                return failAt("an attribute given twice");
        }
        return content(node);
    }
    bool content(XmlElement *node)
    {
        for (;;) {
            if (done())
                return failAt("an element not closed");
            if (s[at] != '<') {
                if (starts("]]>"))
                    return failAt("']]>' in text");
                if (!character(&node->text))
                    return false;
                continue;
            }
            if (starts("<![CDATA[")) {
                size_t close = s.find("]]>", at);
                if (close == std::string::npos)
                    return failAt("a CDATA section not closed");
                node->text.append(s, at + 9, close - at - 9);
                at = close + 3;
                continue;
            }
            if (starts("</")) {
                at += 2;
                std::string closing;
                if (!name(&closing))
                    return false;
                if (closing != node->name)
                    return failAt(("</" + closing + "> closes <" + node->name + ">").c_str());
                skipSpace();
                if (done() || s[at] != '>')
                    return failAt("an end tag not closed");
                at++;
                return true;
            }
            if (starts("<!--") || starts("<?")) {
                if (!misc())
                    return false;
                continue;
            }
            if (starts("<!"))
                return failAt("a declaration inside an element");
            node->children.emplace_back();
            node->children.back().textBefore = node->text.size();
            if (!element(&node->children.back()))
                return false;
        }
    }
};

}  // namespace

bool parseXml(const std::string &text, XmlElement *root, std::string *error)
{
    Parser p = {text, 0, ""};
    *root = XmlElement();
    if (p.starts("\xEF\xBB\xBF"))
        p.at = 3;
    bool ok = p.misc();
    if (ok && p.starts("<!DOCTYPE")) {
        size_t close = text.find('>', p.at);
        if (close == std::string::npos || text.find('[', p.at) < close)
            ok = p.failAt("a DOCTYPE not closed, or with an internal subset");
        else
            p.at = close + 1;
    }
    ok = ok && p.misc();
    if (ok && (p.done() || text[p.at] != '<'))
        ok = p.failAt("no root element");
    ok = ok && p.element(root) && p.misc();
    if (ok && !p.done())
        ok = p.failAt("something after the root element");
    if (!ok && error)
        *error = p.error;
    return ok;
}
