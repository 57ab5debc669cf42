// How the commands show the notifications of a run: a line each, in the order they came, and the
// messages the driver sent after the host had said it does not support them.
#include "checker/commands/commands.h"

#include <stdio.h>
#include <string.h>

// The driver's threads numbered in the order they first called (1, 2...); 0 for the host's.
static int threadNumber(const NotificationRecord &record, long k)
{
    uint32_t thread = record.items[k].n.thread;
    if (thread == record.hostThread)
        return 0;
    int number = 0;
    uint32_t seen[NOTIFICATION_ROOM];
    for (long j = 0; j <= k; j++) {
        uint32_t t = record.items[j].n.thread;
        if (t == record.hostThread)
            continue;
        int known = 0;
        while (known < number && seen[known] != t)
            known++;
        if (known == number)
            seen[number++] = t;
        if (t == thread)
            return known + 1;
    }
    return number;
}

static void threadText(const NotificationRecord &record, long k, char *out, size_t size)
{
    int number = threadNumber(record, k);
    if (number == 0)
        snprintf(out, size, "the host's thread");
    else
        snprintf(out, size, "driver thread %d", number);
}

static void selectorText(long selector, char *out, size_t size)
{
    const char *name = selectorName(selector);
    if (name)
        snprintf(out, size, "%s (%ld)", name, selector);
    else
        snprintf(out, size, "selector %ld", selector);
}

static void pointerText(uint64_t address, char *out, size_t size)
{
    snprintf(out, size, "0x%08llx", static_cast<unsigned long long>(address));
}

static void bytesText(const NotedNotification &noted, char *out, size_t size)
{
    *out = '\0';
    for (int b = 0; b < noted.messageLength && strlen(out) + 4 < size; b++)
        snprintf(out + strlen(out), size - strlen(out), "%s%02x", b ? " " : "", noted.messageBytes[b]);
}

// Whether the notification is a finding of its own: a pointer that could not be read, or a
// message the host had refused.
static bool isFinding(const NotedNotification &noted)
{
    return noted.messageRead == POINTER_UNREADABLE || noted.optRead == POINTER_UNREADABLE ||
           noted.n.afterRefusal;
}

static void printOne(const NotificationRecord &record, long k, const char *runWord)
{
    const NotedNotification &noted = record.items[k];
    const Notification &n = noted.n;
    char thread[32], selector[64], pointer[32], bytes[MESSAGE_BYTES * 3 + 1];
    threadText(record, k, thread, sizeof thread);
    printf("  ");
    if (runWord)
        printf("%s %d, ", runWord, noted.run + 1);
    printf("%.1f ms, %s, ", noted.ms, thread);
    if (n.afterSwitch > 0)
        printf("after switch %lld: ", static_cast<long long>(n.afterSwitch));
    else
        printf("before the first switch: ");
    if (n.kind == NOTIFY_RATE) {
        char rate[32];
        formatRate(n.rate, rate, sizeof rate);
        printf("sampleRateDidChange %s Hz\n", rate);
        return;
    }
    selectorText(n.selector, selector, sizeof selector);
    printf("%s, value %ld", selector, static_cast<long>(n.value));
    if (n.selector == ASIO_MSG_SELECTOR_SUPPORTED && selectorName(n.value))
        printf(" (%s)", selectorName(n.value));
    printf(", answered %ld", static_cast<long>(n.answer));
    if (n.unsupported)
        printf(", not supported by the host");
    if (n.afterRefusal)
        printf(", sent after the host said it does not support it");
    if (noted.messageRead != POINTER_NULL) {
        pointerText(n.message, pointer, sizeof pointer);
        bytesText(noted, bytes, sizeof bytes);
        printf("; message %s: %s", pointer,
               noted.messageRead == POINTER_READ ? bytes : "not readable");
    }
    if (noted.optRead != POINTER_NULL) {
        pointerText(n.opt, pointer, sizeof pointer);
        if (noted.optRead == POINTER_READ)
            printf("; opt %s: %g", pointer, n.rate);
        else
            printf("; opt %s: not readable", pointer);
    }
    printf("%s\n", isFinding(noted) ? "  finding" : "");
}

// "The driver sent reset request (3) after the host said it does not support it."
static void refusalText(const NotificationRecord &record, long selector, char *out, size_t size)
{
    long count = record.afterRefusal[selector];
    char times[32] = "";
    if (count > 1)
        snprintf(times, sizeof times, " (%ld times)", count);
    snprintf(out, size, "The driver sent %s (%ld) after the host said it does not support it%s.",
             selectorWords(selector), selector, times);
}

// A question the host answered on its own thread, with nothing else to show: a driver asks a
// dozen of them in createBuffers, and one line says them all.
static bool plainQuestion(const NotificationRecord &record, long k)
{
    const NotedNotification &noted = record.items[k];
    const Notification &n = noted.n;
    return n.kind == NOTIFY_MESSAGE && n.thread == record.hostThread && !isRequestSelector(n.selector) &&
           selectorName(n.selector) && noted.messageRead == POINTER_NULL && noted.optRead == POINTER_NULL &&
           !n.afterRefusal;
}

// The questions k..end-1 (plainQuestion, same run and switch) as one line: "11 questions:
// kAsioSelectorSupported (1) of 2, 3 and 15 answered 1, of 7 and 8 answered 0; kAsioEngineVersion
// (2) answered 2; ...".
static void printQuestions(const NotificationRecord &record, long k, long end, const char *runWord)
{
    const NotedNotification &first = record.items[k];
    char thread[32];
    threadText(record, k, thread, sizeof thread);
    printf("  ");
    if (runWord)
        printf("%s %d, ", runWord, first.run + 1);
    printf("%.1f ms, %s, ", first.ms, thread);
    if (first.n.afterSwitch > 0)
        printf("after switch %lld: ", static_cast<long long>(first.n.afterSwitch));
    else
        printf("before the first switch: ");
    printf("%ld questions:", end - k);
    const char *separator = " ";
    for (int yes = 1; yes >= 0; yes--) {
        long values[NOTIFICATION_ROOM], count = 0;
        for (long j = k; j < end; j++) {
            const Notification &n = record.items[j].n;
            if (n.selector == ASIO_MSG_SELECTOR_SUPPORTED && (n.answer == 1) == (yes == 1))
                values[count++] = n.value;
        }
        if (count == 0)
            continue;
        if (*separator == ' ')
            printf(" %s (%d)", selectorName(ASIO_MSG_SELECTOR_SUPPORTED), ASIO_MSG_SELECTOR_SUPPORTED);
        printf("%sof ", *separator == ' ' ? " " : separator);
        for (long v = 0; v < count; v++)
            printf("%s%ld", v == 0 ? "" : v + 1 == count ? " and " : ", ", values[v]);
        printf(" answered %s", yes ? "1" : "0");
        separator = ", ";
    }
    separator = "; ";
    for (long j = k; j < end; j++) {
        const Notification &n = record.items[j].n;
        if (n.selector == ASIO_MSG_SELECTOR_SUPPORTED)
            continue;
        printf("%s%s (%ld) answered %ld%s", separator, selectorName(n.selector), static_cast<long>(n.selector),
               static_cast<long>(n.answer), n.unsupported ? ", not supported by the host" : "");
    }
    printf("\n");
}

void printNotifications(const NotificationRecord &record, const char *runWord)
{
    if (record.seen == 0)
        return;
    printf("Notifications (ms from start's return, negative before it):\n");
    for (long k = 0; k < record.kept;) {
        long end = k;
        while (end < record.kept && plainQuestion(record, end) && record.items[end].run == record.items[k].run &&
               record.items[end].n.afterSwitch == record.items[k].n.afterSwitch)
            end++;
        if (end - k >= 3) {
            printQuestions(record, k, end, runWord);
            k = end;
        } else {
            printOne(record, k++, runWord);
        }
    }
    if (record.seen > record.kept) {
        printf("  %ld more, not kept (the first %d are)\n", record.seen - record.kept,
               NOTIFICATION_ROOM);
    }
    for (long s = ASIO_MSG_FIRST; s <= ASIO_MSG_LAST; s++) {
        if (record.afterRefusal[s] == 0)
            continue;
        char text[160];
        refusalText(record, s, text, sizeof text);
        printf("%s  finding\n", text);
    }
}

static void jsonPointer(const char *key, uint64_t address)
{
    char text[32];
    pointerText(address, text, sizeof text);
    if (address)
        jsonText(key, text);
    else
        jsonNull(key);
}

static void jsonOne(const NotificationRecord &record, long k, const char *runKey)
{
    const NotedNotification &noted = record.items[k];
    const Notification &n = noted.n;
    char thread[32];
    int number = threadNumber(record, k);
    if (number)
        snprintf(thread, sizeof thread, "driver %d", number);
    jsonBeginObject(nullptr);
    if (runKey)
        jsonInteger(runKey, noted.run + 1);
    jsonNumber("ms", noted.ms);
    jsonText("thread", number ? thread : "host");
    jsonInteger("thread_id", n.thread);
    jsonInteger("after_switch", n.afterSwitch);
    bool message = n.kind == NOTIFY_MESSAGE;
    jsonText("kind", message ? "message" : "rate_change");
    if (message) {
        jsonInteger("selector", n.selector);
        jsonText("selector_name", selectorName(n.selector));
        jsonInteger("value", n.value);
        jsonInteger("answer", n.answer);
    } else {
        jsonNull("selector");
        jsonNull("selector_name");
        jsonNull("value");
        jsonNull("answer");
    }
    jsonPointer("message_pointer", n.message);
    jsonPointer("opt_pointer", n.opt);
    if (noted.messageRead == POINTER_NULL && noted.optRead == POINTER_NULL)
        jsonNull("readable");
    else
        jsonBool("readable", !(noted.messageRead == POINTER_UNREADABLE || noted.optRead == POINTER_UNREADABLE));
    char bytes[MESSAGE_BYTES * 3 + 1];
    bytesText(noted, bytes, sizeof bytes);
    jsonText("message_bytes", noted.messageRead == POINTER_READ ? bytes : nullptr);
    if (message && noted.optRead == POINTER_READ)
        jsonNumber("opt_value", n.rate);
    else
        jsonNull("opt_value");
    if (message)
        jsonNull("rate");
    else
        jsonNumber("rate", n.rate);
    jsonBool("unsupported", n.unsupported);
    jsonBool("after_refusal", n.afterRefusal);
    jsonEndObject();
}

void jsonNotifications(const NotificationRecord &record, const char *runKey)
{
    jsonBeginArray("notifications");
    for (long k = 0; k < record.kept; k++)
        jsonOne(record, k, runKey);
    jsonEndArray();
    jsonInteger("notifications_not_kept", record.seen - record.kept);
    jsonBeginArray("sent_after_refusal");
    for (long s = ASIO_MSG_FIRST; s <= ASIO_MSG_LAST; s++) {
        if (record.afterRefusal[s] == 0)
            continue;
        char text[160];
        refusalText(record, s, text, sizeof text);
        jsonBeginObject(nullptr);
        jsonInteger("selector", s);
        jsonText("selector_name", selectorName(s));
        jsonInteger("count", record.afterRefusal[s]);
        jsonText("text", text);
        jsonEndObject();
    }
    jsonEndArray();
}
