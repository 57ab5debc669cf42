// One JSON document on stdout, written as it goes, two spaces per level. `key` is null at the top and
// inside arrays. Texts are ANSI and written as UTF-8; numbers that are not finite as null.
#pragma once

#include "checker/checker.h"

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
// True once a document has been finished.
bool jsonDocumentWritten();
// The fields every document starts with: command, program version and build.
void jsonHeader(Command command);
