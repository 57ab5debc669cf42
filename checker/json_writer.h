// One JSON document on stdout (or into a buffer), written as it goes, two spaces per level. `key` is
// null at the top and inside arrays. Texts are ANSI and written as UTF-8; numbers that are not finite
// as null. Main thread.
#pragma once

#include "checker/checker.h"

#include <string>

// Documents from now on are appended to *into (the caller's), the same text stdout would get,
// until jsonToStdout. A document finished there does not count for jsonDocumentWritten.
void jsonToBuffer(std::string *into);
void jsonToStdout();

void jsonBeginObject(const char *key);
void jsonEndObject();
void jsonBeginArray(const char *key);
void jsonEndArray();
void jsonText(const char *key, const char *value);  // null value: null
void jsonInteger(const char *key, long long value);
void jsonNumber(const char *key, double value);
void jsonBool(const char *key, bool value);
void jsonNull(const char *key);
// Ends the document with a line feed.
void jsonFinish();
// True once a document has been finished on stdout.
bool jsonDocumentWritten();
// The fields every document starts with: command, program version and build.
void jsonHeader(Command command);
