#include "drivers/driver_list.h"

#include <objbase.h>
#include <stdlib.h>
#include <string.h>

DriverList *driverList = nullptr;
long classEnumerations = 0;

// Reads a value as text of at most outSize - 1 bytes and always terminates it: a string that
// fills its buffer comes back from the registry without a NUL. Text stops at the first NUL.
static bool readRegistryText(HKEY key, const char *valueName, char *out, DWORD outSize)
{
    DWORD type = REG_SZ;
    DWORD size = outSize - 1;
    if (RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE *>(out), &size) !=
        ERROR_SUCCESS) {
        out[0] = '\0';
        return false;
    }
    out[size < outSize ? size : outSize - 1] = '\0';
    return true;
}

static void copyText(char *out, size_t outSize, const char *text)
{
    size_t length = strnlen(text, outSize - 1);
    memcpy(out, text, length);
    out[length] = '\0';
}

void scanDrivers(DriverList *list)
{
    list->head = nullptr;
    list->count = 0;

    HKEY asioKey = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "software\\asio", &asioKey) == ERROR_SUCCESS) {
        char keyName[DRIVER_NAME_SIZE];
        // A key name that does not fit the buffer fails the call and ends the scan there.
        for (DWORD i = 0; RegEnumKeyA(asioKey, i, keyName, sizeof keyName) == ERROR_SUCCESS; i++)
            list->head = appendEntry(asioKey, keyName, 0, list->head);
        RegCloseKey(asioKey);
    }

    for (DriverEntry *entry = list->head; entry; entry = entry->next)
        list->count++;

    if (list->count != 0)
        CoInitialize(nullptr);
}

void createDriverList()
{
    if (driverList)
        return;
    DriverList *list = static_cast<DriverList *>(calloc(1, sizeof(DriverList)));
    if (!list)
        return;
    scanDrivers(list);
    list->currentIndex = -1;
    driverList = list;
}

// The entry of a listed key, or null; apart from appendEntry's recursion, so that its frames stay
// small however long the chain.
static DriverEntry *makeEntry(HKEY parentKey, const char *keyName, int position)
{
    DriverKeyReport report;
    if (examineDriverKey(parentKey, keyName, &report) != DRIVER_KEY_LISTED)
        return nullptr;
    DriverEntry *created = static_cast<DriverEntry *>(calloc(1, sizeof(DriverEntry)));
    if (!created)
        return nullptr;
    created->index = position;
    WCHAR wide[100];
    if (MultiByteToWideChar(CP_ACP, 0, report.clsidText, -1, wide, 100) != 0) {
        CLSID clsid;
        if (CLSIDFromString(wide, &clsid) == S_OK)
            created->clsid = clsid;
    }
    // A description longer than name holds is cut to fit.
    copyText(created->name, sizeof created->name, report.name);
    return created;
}

DriverEntry *appendEntry(HKEY parentKey, const char *keyName, int position, DriverEntry *entry)
{
    // Walk to the end of the chain; the new entry's index is the number of entries before it.
    if (entry) {
        entry->next = appendEntry(parentKey, keyName, position + 1, entry->next);
        return entry;
    }
    return makeEntry(parentKey, keyName, position);
}

static DriverKeyVerdict lookUpServerPath(char *clsidText, char *path, bool mayOpenByName);

DriverKeyVerdict examineDriverKey(HKEY parentKey, const char *keyName, DriverKeyReport *report)
{
    report->clsidText[0] = report->path[0] = report->name[0] = '\0';
    HKEY driverKey = nullptr;
    if (RegOpenKeyExA(parentKey, keyName, 0, KEY_READ, &driverKey) != ERROR_SUCCESS)
        return report->verdict = DRIVER_KEY_NOT_OPENED;

    DriverKeyVerdict verdict = DRIVER_KEY_NO_CLSID;
    if (readRegistryText(driverKey, "clsid", report->clsidText, sizeof report->clsidText)) {
        verdict = lookUpServerPath(report->clsidText, report->path, true);
        if (verdict == DRIVER_KEY_LISTED &&
            !readRegistryText(driverKey, "description", report->name, sizeof report->name))
            copyText(report->name, sizeof report->name, keyName);
    }
    RegCloseKey(driverKey);
    return report->verdict = verdict;
}

// Only these characters take the direct way: registry names compare without regard to case, and
// no other character compares equal to one of them, so a key that opens as clsid\<text> has the
// text's name up to ASCII case. Key names are unique up to case, so the enumeration meets that
// same name, lower-cases it to the text and opens the same key; when the direct open fails, the
// enumeration meets no equal name, or opens the one it met by the same text and fails alike. Any
// other text could open something else: "" opens clsid itself, a backslash a key below a class.
static bool isClassIdText(const char *text)
{
    if (text[0] == '\0')
        return false;
    for (const char *c = text; *c; c++) {
        bool hexDigit = (*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f');
        if (!hexDigit && *c != '{' && *c != '}' && *c != '-')
            return false;
    }
    return true;
}

// The first key whose lower-cased name equals clsidText, opened for reading; null when there is
// none or it does not open (only the first equal name is examined).
static HKEY openClassByEnumeration(HKEY classesKey, const char *clsidText)
{
    classEnumerations++;
    // Key names have at most 255 characters; 512 bytes hold any of them in a double-byte code page.
    char keyName[512];
    for (DWORD i = 0; RegEnumKeyA(classesKey, i, keyName, sizeof keyName) == ERROR_SUCCESS; i++) {
        CharLowerBuffA(keyName, static_cast<DWORD>(strlen(keyName)));
        if (strcmp(keyName, clsidText) != 0)
            continue;
        HKEY classKey = nullptr;
        if (RegOpenKeyExA(classesKey, keyName, 0, KEY_READ, &classKey) != ERROR_SUCCESS)
            return nullptr;
        return classKey;
    }
    return nullptr;
}

// DRIVER_KEY_LISTED when the class's InprocServer32 default value could be read into path, else
// DRIVER_KEY_NO_SERVER.
static DriverKeyVerdict readServerPath(HKEY classKey, char *path)
{
    HKEY serverKey = nullptr;
    if (RegOpenKeyExA(classKey, "InprocServer32", 0, KEY_READ, &serverKey) != ERROR_SUCCESS)
        return DRIVER_KEY_NO_SERVER;
    DriverKeyVerdict result = DRIVER_KEY_NO_SERVER;
    if (readRegistryText(serverKey, nullptr, path, SERVER_PATH_SIZE + 1)) {
        // OpenFile fails with HFILE_ERROR (-1), not 0, so a driver whose file is missing stays
        // listed; whether it loads is for the creation call to say.
        OFSTRUCT record;
        memset(&record, 0, sizeof record);
        record.cBytes = 136;
        if (OpenFile(path, &record, OF_EXIST) != 0)
            result = DRIVER_KEY_LISTED;
    }
    RegCloseKey(serverKey);
    return result;
}

static DriverKeyVerdict lookUpServerPath(char *clsidText, char *path, bool mayOpenByName)
{
    CharLowerBuffA(clsidText, static_cast<DWORD>(strlen(clsidText)));

    HKEY classesKey = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, "clsid", &classesKey) != ERROR_SUCCESS)
        return DRIVER_KEY_CLASS_NOT_REGISTERED;

    HKEY classKey = nullptr;
    if (mayOpenByName && isClassIdText(clsidText)) {
        if (RegOpenKeyExA(classesKey, clsidText, 0, KEY_READ, &classKey) != ERROR_SUCCESS)
            classKey = nullptr;
    } else {
        classKey = openClassByEnumeration(classesKey, clsidText);
    }

    DriverKeyVerdict result = DRIVER_KEY_CLASS_NOT_REGISTERED;
    if (classKey) {
        result = readServerPath(classKey, path);
        RegCloseKey(classKey);
    }
    RegCloseKey(classesKey);
    return result;
}

int findServerPath(char *clsidText, char *path)
{
    return lookUpServerPath(clsidText, path, true) == DRIVER_KEY_LISTED ? 0 : -1;
}

int findServerPathByEnumeration(char *clsidText, char *path)
{
    return lookUpServerPath(clsidText, path, false) == DRIVER_KEY_LISTED ? 0 : -1;
}

DriverEntry *findEntry(int index)
{
    if (!driverList)
        return nullptr;
    for (DriverEntry *entry = driverList->head; entry; entry = entry->next) {
        if (entry->index == index)
            return entry;
    }
    return nullptr;
}

int getEntryName(int index, char *out)
{
    if (!out)
        return DRIVER_LIST_NO_DESTINATION;
    DriverEntry *entry = findEntry(index);
    if (!entry)
        return DRIVER_LIST_NO_ENTRY;

    size_t length = strnlen(entry->name, sizeof entry->name);
    if (length >= DISPLAY_NAME_SIZE) {
        memcpy(out, entry->name, DISPLAY_NAME_SIZE - 4);
        memcpy(out + DISPLAY_NAME_SIZE - 4, "...", 4);
    } else {
        memcpy(out, entry->name, length + 1);
    }
    return 0;
}
