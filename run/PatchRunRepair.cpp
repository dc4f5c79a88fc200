// The repair mode of a run: the installation is compared segment by segment with the repair
// server's copy and only the segments that differ are fetched. The repair client does the work on
// its own threads; the run polls it once a second, posts each stage's text once and in order, moves
// the gauge while segments arrive, and reports the outcome.
#include "run/PatchRun.h"

#include "kernel/FileUtil.h"
#include "kernel/ProductFacts.h"
#include "repair/RepairClient.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"
#include "run/RepairServerAddress.h"

namespace ZelkPatch
{
namespace
{
const wchar_t kNoRepairServer[] = L"Unable to contact repair server; check your network connection.";
const wchar_t kScanFailed[] = L"Error while scanning local files.";
const wchar_t kConnectFailed[] = L"Unable to connect to patch servers.";
const wchar_t kRepairFailed[] = L"Error occurred while repairing files.";
const wchar_t kInternalError[] = L"Internal error occurred.";
const wchar_t kSegmentsUpdated[] = L"(%d / %d segments updated.)";
const wchar_t kErrorInStage[] = L"(Error %d in stage %d)";

constexpr int kRepairGaugeRange = 1000;
constexpr unsigned kPollMilliseconds = 1000;

// The text posted when the client reaches a stage; null for the stages without one.
const wchar_t *StageText(int32_t stage)
{
    switch (stage)
    {
    case RepairClient::StageScanning:
        return L"Scanning installed files. This may take a while.";
    case RepairClient::StageConnecting:
        return L"Connecting to patch servers.";
    case RepairClient::StagePreparing:
        return L"Preparing download list.";
    case RepairClient::StageReceiving:
        return L"Receiving updated files.";
    default:
        return nullptr;
    }
}

const wchar_t *StageErrorText(int32_t stage)
{
    switch (stage)
    {
    case RepairClient::StageScanning:
        return kScanFailed;
    case RepairClient::StageConnecting:
    case RepairClient::StagePreparing:
        return kConnectFailed;
    case RepairClient::StageReceiving:
        return kRepairFailed;
    default:
        return kInternalError;
    }
}
} // namespace

bool PatchRun::RunRepair()
{
    RepairClient client;
    IPv4Endpoint server;
    if (!ResolveRepairServer(RepairServerSetting(), server))
    {
        m_observer.Message(MessageError, kNoRepairServer);
        return false;
    }
    const std::wstring &root = m_settings.InstallPath();
    client.SetRoot(root);
    client.SetSummaryPath(JoinPath(root, ProductFacts::kRepairSummaryName));
    client.SetServerAddress(server);
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
            if (const wchar_t *text = StageText(announced))
                m_observer.Message(MessageNormal, text);
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
        m_observer.Message(MessageNormal, FormatTextW(kSegmentsUpdated, static_cast<int>(client.GetReceived()),
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
    const std::wstring outside = client.GetOutsidePath();
    if (!outside.empty())
        m_observer.Message(MessageError, FormatCatalogueText(kIdLeadsOutside, outside.c_str()));
    m_observer.Message(MessageError, StageErrorText(client.GetStage()));
    m_observer.Message(MessageNormal,
                       FormatTextW(kErrorInStage, static_cast<int>(client.GetError()), client.GetStage()));
    return false;
}
} // namespace ZelkPatch
