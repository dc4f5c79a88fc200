// Why a repair was refused, beyond the failure of a connection or a disk, whichever source its
// changes came from.
#pragma once

enum class RepairRefusal
{
    None,
    ManifestUnavailable,    // the manifest could not be fetched
    ManifestDamaged,        // it breaks a rule or a bound of its format
    ManifestUnsigned,       // with a publisher key: it has no signature
    ManifestWrongSignature, // with a publisher key: no signature of it is that key's
    ManifestReplayed,       // with a publisher key: it is older than the newest this machine accepted
    SerialUnreadable,       // with a publisher key: the newest accepted serial cannot be read
    RecordNotVouched,       // a repair server's record asks for a change the manifest does not vouch for
    DataMismatch,           // served bytes are not the ones the manifest names
    NoRanges,               // the web server sends whole files when asked for parts
    LeadsOutside,           // a change's file leads out of the installation through a link planted in it
};
const char *DescribeRepairRefusal(RepairRefusal refusal);
