// The repair mode of a run: the installation is compared segment by segment with the repair
// server's copy, or with a repair manifest on a web server, and only what differs is fetched. The
// repair client does the work on its own threads; the run polls it once a second, posts each
// stage's text once and in order, moves the gauge while segments arrive, and reports the outcome.
// With a publisher key, nothing is written that a signed manifest does not vouch for.
#include "run/PatchRun.h"

#include "kernel/FileUtil.h"
#include "kernel/ProductFacts.h"
#include "kernel/TextConvert.h"
#include "repair/RepairClient.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"
#include "run/RepairServerAddress.h"

namespace ZelkPatch
{
namespace
{

constexpr int kRepairGaugeRange = 1000;
constexpr unsigned kPollMilliseconds = 1000;

// The catalogue text posted when the client reaches a stage; 0 for the stages without one.
unsigned StageText(int32_t stage)
{
    switch (stage)
    {
    case RepairClient::StageScanning:
        return kIdStageScanning;
    case RepairClient::StageConnecting:
        return kIdStageConnecting;
    case RepairClient::StagePreparing:
        return kIdStagePreparing;
    case RepairClient::StageReceiving:
        return kIdStageReceiving;
    default:
        return 0;
    }
}

// The catalogue text that says why a run was refused; 0 for none.
unsigned RefusalText(RepairRefusal refusal)
{
    switch (refusal)
    {
    case RepairRefusal::None:
        return 0;
    case RepairRefusal::ManifestUnavailable:
        return kIdRepairManifestUnavailable;
    case RepairRefusal::ManifestDamaged:
        return kIdRepairManifestDamaged;
    case RepairRefusal::ManifestUnsigned:
        return kIdRepairManifestUnsigned;
    case RepairRefusal::ManifestWrongSignature:
        return kIdRepairManifestWrongSignature;
    case RepairRefusal::ManifestReplayed:
        return kIdRepairManifestReplayed;
    case RepairRefusal::SerialUnreadable:
        return kIdRepairManifestSerialUnreadable;
    case RepairRefusal::RecordNotVouched:
        return kIdRepairRecordNotVouched;
    case RepairRefusal::DataMismatch:
        return kIdRepairDataMismatch;
    case RepairRefusal::NoRanges:
        return kIdRepairNoRanges;
    case RepairRefusal::LeadsOutside:
        return kIdLeadsOutside;
    }
    return 0;
}

unsigned StageErrorText(int32_t stage)
{
    switch (stage)
    {
    case RepairClient::StageScanning:
        return kIdScanFailed;
    case RepairClient::StageConnecting:
    case RepairClient::StagePreparing:
        return kIdConnectFailed;
    case RepairClient::StageReceiving:
        return kIdRepairFailed;
    default:
        return kIdInternalError;
    }
}
} // namespace

bool PatchRun::RunRepair()
{
    // A key that is configured but cannot be read trusts nothing, a repair included.
    if (!LoadPublisherKey())
        return false;
    RepairClient client;
    const std::wstring setting = RepairServerSetting();
    if (IsWebRepairAddress(setting))
        client.SetRepairAddress(PathToNative(setting));
    else
    {
        // A repair server's records are trusted only as far as a signed manifest vouches for them.
        if (m_publisherKey)
        {
            const std::wstring manifest = RepairManifestSetting();
            if (manifest.empty())
            {
                m_observer.Message(MessageError, LoadMessage(kIdRepairManifestNotConfigured));
                return false;
            }
            client.SetManifestAddress(PathToNative(manifest));
        }
        IPv4Endpoint server;
        if (!ResolveRepairServer(setting, server))
        {
            m_observer.Message(MessageError, LoadMessage(kIdNoRepairServer));
            return false;
        }
        client.SetServerAddress(server);
    }
    const std::wstring &root = Installation().Path();
    client.SetRootDirectory(m_settings.HeldInstallation());
    client.SetSummaryPath(JoinPath(root, ProductFacts::kRepairSummaryName));
    client.SetDigestCachePath(JoinPath(root, ProductFacts::kRepairDigestsName));
    client.SetPublisherKey(m_publisherKey);
    client.SetExclusions({JoinPath(root, ProductFacts::kUninstallerName)});
    client.Start();

    SetTransferState(kTransferIdle);
    m_observer.GaugeRange(kRepairGaugeRange);
    // Each stage's text goes out once, in order, also when the client passed several stages
    // between two polls.
    int32_t announced = RepairClient::StageConfigured;
    auto announceStages = [&](int32_t upTo) {
        while (announced < upTo)
        {
            ++announced;
            if (const unsigned text = StageText(announced))
                m_observer.Message(MessageNormal, LoadMessage(text));
        }
    };
    while (client.IsBusy() && !Cancelled())
    {
        announceStages(client.GetStage());
        const float progress = client.GetProgress();
        m_progressFraction.store(progress);
        if (announced >= RepairClient::StageReceiving)
            m_observer.GaugeValue(static_cast<int>(progress * kRepairGaugeRange));
        client.WaitWhileBusy(kPollMilliseconds);
    }
    announceStages(client.GetStage());
    if (announced >= RepairClient::StageReceiving)
        m_observer.Message(MessageNormal, FormatCatalogueText(kIdSegmentsUpdated,
                                                              static_cast<int>(client.GetReceived()),
                                                              static_cast<int>(client.GetTotal())));
    if (client.Succeeded())
    {
        ClearPatchingMarker();
        m_progressFraction.store(1.0f);
        m_observer.GaugeValue(kRepairGaugeRange);
        return true;
    }
    if (Cancelled())
        return false;
    const RepairRefusal refusal = client.GetRefusal();
    if (const unsigned text = RefusalText(refusal))
    {
        // A file is named by its path in the installation; one that leads outside, as everywhere,
        // by its whole path.
        const std::wstring subject = refusal == RepairRefusal::LeadsOutside
                                         ? Installation().PathOf(client.GetRefusalSubject())
                                         : client.GetRefusalSubject();
        m_observer.Message(MessageError, FormatCatalogueText(text, subject.c_str()));
    }
    m_observer.Message(MessageError, LoadMessage(StageErrorText(client.GetStage())));
    m_observer.Message(MessageNormal,
                       FormatCatalogueText(kIdErrorInStage, static_cast<int>(client.GetError()), client.GetStage()));
    return false;
}
} // namespace ZelkPatch
