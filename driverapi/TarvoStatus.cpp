#include "TarvoStatus.h"

namespace {

struct StatusNameEntry {
    TarvoStatus value;
    const char* name;
};

#define TARVO_STATUS_NAME_ENTRY(name, value) {value, #name},
constexpr StatusNameEntry kStatusNames[] = {TARVO_STATUS_TABLE(TARVO_STATUS_NAME_ENTRY)};
#undef TARVO_STATUS_NAME_ENTRY

}  // namespace

const char* TarvoStatusName(TarvoStatus status)
{
    for (const StatusNameEntry& entry : kStatusNames)
        if (entry.value == status)
            return entry.name;
    return "???";
}
