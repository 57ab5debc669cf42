// The waiver file: the differences the user accepts, one a line ("figure.output_latency  the new
// converter adds 32 frames"), a trailing '*' for every name that begins so, '#' a comment to the
// line's end. A waived regression is shown and does not fail; a waiver that matched nothing is
// named, so that a stale one does not hide the next real regression unnoticed.
#include "checker/compare/compare.h"

#include <stdio.h>
#include <string.h>

enum { MAX_WAIVER_LINE = 1024, MAX_WAIVERS = 10000 };

static std::string trimmed(const std::string &text)
{
    size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(start, end - start + 1);
}

bool readWaivers(const char *path, std::vector<Waiver> *waivers, std::string *error)
{
    FILE *file = fopen(path, "rb");
    char where[64];
    if (!file) {
        *error = "cannot be opened";
        return false;
    }
    std::string line;
    int number = 1;
    bool fine = true;
    for (int c = fgetc(file);; c = fgetc(file)) {
        if (c != '\n' && c != EOF) {
            if (line.size() >= MAX_WAIVER_LINE || c == '\0') {
                snprintf(where, sizeof where, "line %d: ", number);
                *error = std::string(where) + (c == '\0' ? "a NUL byte; a waiver file is text"
                                                         : "longer than 1024 characters");
                fine = false;
                break;
            }
            line += static_cast<char>(c);
            continue;
        }
        std::string text = trimmed(line.substr(0, line.find('#')));
        if (!text.empty()) {
            size_t space = text.find_first_of(" \t");
            Waiver waiver = {text.substr(0, space), space == std::string::npos ? "" : trimmed(text.substr(space)),
                             number, false};
            size_t star = waiver.pattern.find('*');
            if (waiver.pattern.find('.') == std::string::npos ||
                (star != std::string::npos && star + 1 != waiver.pattern.size())) {
                snprintf(where, sizeof where, "line %d: ", number);
                *error = std::string(where) + "\"" + waiver.pattern.substr(0, 80) +
                         "\" is no rule.key (such as figure.output_latency or check.open.*)";
                fine = false;
                break;
            }
            if (waivers->size() >= MAX_WAIVERS) {
                *error = "holds more than 10000 waivers";
                fine = false;
                break;
            }
            waivers->push_back(waiver);
        }
        line.clear();
        number++;
        if (c == EOF)
            break;
    }
    if (fine && ferror(file)) {
        *error = "cannot be read";
        fine = false;
    }
    fclose(file);
    return fine;
}

static bool matches(const std::string &pattern, const std::string &name)
{
    if (!pattern.empty() && pattern.back() == '*')
        return name.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    return pattern == name;
}

void applyWaivers(std::vector<Waiver> *waivers, Comparison *comparison)
{
    for (Finding &finding : comparison->findings) {
        if (finding.kind != FINDING_REGRESSION)
            continue;
        std::string name = findingName(finding);
        for (Waiver &waiver : *waivers) {
            if (!matches(waiver.pattern, name))
                continue;
            waiver.used = true;
            if (!finding.waived) {
                finding.waived = true;
                finding.waiver = waiver.reason;
                comparison->waivedRegressions++;
                comparison->counts[finding.rule].waived++;
            }
        }
    }
    for (const Waiver &waiver : *waivers) {
        if (!waiver.used)
            comparison->unusedWaivers.push_back("line " + std::to_string(waiver.line) + ": " + waiver.pattern);
    }
}
