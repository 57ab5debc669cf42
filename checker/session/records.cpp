// The program's table of records, as both sides of the pipe find them.
#include "checker/session/worker_protocol.h"

extern const RecordSpec callNotesRecord = {&callNotes, sizeof callNotes,
    "call notes", callNotesFault};

static const RecordSpec *const *recordTable = nullptr;
static int recordCount = 0;

void useRecords(const RecordSpec *const *records, int count)
{
    recordTable = records;
    recordCount = count;
}

const RecordSpec *recordAt(DWORD id)
{
    return id < static_cast<DWORD>(recordCount) ? recordTable[id] : nullptr;
}

int recordIndex(const void *place)
{
    for (int k = 0; k < recordCount; k++) {
        if (recordTable[k]->place == place)
            return k;
    }
    return -1;
}

size_t largestRecord()
{
    size_t largest = 0;
    for (int k = 0; k < recordCount; k++)
        largest = recordTable[k]->size > largest ? recordTable[k]->size : largest;
    return largest;
}

static void (*recordTaken)(const void *place);

void onRecordTaken(void (*taken)(const void *place))
{
    recordTaken = taken;
}

void tellRecordTaken(const void *place)
{
    if (recordTaken)
        recordTaken(place);
}

const char *recordFault(const void *place, const void *copy)
{
    int id = recordIndex(place);
    return id >= 0 && recordTable[id]->fault ? recordTable[id]->fault(copy) : nullptr;
}
