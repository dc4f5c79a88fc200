#include "repair/RepairRefusal.h"

const char *DescribeRepairRefusal(RepairRefusal refusal)
{
    switch (refusal)
    {
    case RepairRefusal::None:
        return "none";
    case RepairRefusal::ManifestUnavailable:
        return "the manifest could not be fetched";
    case RepairRefusal::ManifestDamaged:
        return "the manifest is damaged";
    case RepairRefusal::ManifestUnsigned:
        return "the manifest is not signed";
    case RepairRefusal::ManifestWrongSignature:
        return "the manifest is not signed by the publisher key";
    case RepairRefusal::ManifestReplayed:
        return "the manifest is older than the newest accepted";
    case RepairRefusal::SerialUnreadable:
        return "the newest accepted manifest serial cannot be read";
    case RepairRefusal::RecordNotVouched:
        return "a record asks for a change the manifest does not vouch for";
    case RepairRefusal::DataMismatch:
        return "served bytes are not the manifest's";
    case RepairRefusal::NoRanges:
        return "the server does not answer range requests";
    case RepairRefusal::LeadsOutside:
        return "a file leads outside the installation";
    }
    return "unknown";
}
