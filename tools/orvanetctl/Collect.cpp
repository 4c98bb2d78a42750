#include "Collect.h"

#include "FilterPicture.h"
#include "LogGathering.h"
#include "NetworkPicture.h"
#include "ReportCollection.h"
#include "ReportText.h"
#include "ServiceState.h"
#include "platform/ProgramData.h"
#include "vpn/TunnelParameters.h"

#include <windows.h>

#include <set>
#include <string>

namespace fs = std::filesystem;

// What is gathered, in the order the summary lists it: the log folders (LogGathering), the
// service as its manager reports it and the files it runs (ServiceState), the network
// (NetworkPicture, written by NetworkReport), the filters in force (FilterPicture), the answer
// to "active"; then written, redacted,
// with the summary (ReportCollection).

CliOutput runCollect(const fs::path& target, const CollectSettings& settings) {
    CliOutput output;
    ReportFolder folder;
    DWORD error = 0;
    if (!folder.make(target, error)) {
        if (error == ERROR_ALREADY_EXISTS) {
            output.err = "orvanetctl: " + shown(target) +
                         " exists; collect writes only into a folder it makes\n";
        } else {
            output.err = "orvanetctl: " + shown(target) + " cannot be made: error " +
                         std::to_string(error) + "\n";
        }
        return output;
    }
    if (settings.afterFolderMade) {
        settings.afterFolderMade(target);
    }
    Collection collection(target, folder, settings.redact,
                          settings.names ? *settings.names : localNames());
    if (!settings.logFolder.empty()) {
        gatherLogFolder(collection, settings.logFolder, "", true);
    } else {
        gatherServiceLogs(collection, settings.serviceFolders.empty() ? serviceLogFolders()
                                                                      : settings.serviceFolders);
    }
    gatherPlatformDumps(collection, settings.platformDumpFolder.empty()
                                        ? platformDumpFolder()
                                        : settings.platformDumpFolder);

    std::string failure;
    fs::path binary;
    const std::string service = serviceReport(settings.client.serviceName, binary, failure);
    if (failure.empty()) {
        collection.text("service.txt", service);
    } else {
        collection.missing("service.txt", failure, true);
    }

    collection.text("versions.txt", versionsReport(binary));

    // The tunnel's own addresses are the service's, and stay.
    const NetworkFacts network = networkFacts();
    const std::string tunnel(tunnel::interfaceName);
    std::set<std::string> tunnelAddresses;
    for (const AdapterFacts& adapter : network.adapters) {
        for (const std::string& address :
             adapter.name == tunnel ? adapter.addresses : std::vector<std::string>{}) {
            tunnelAddresses.insert(address.substr(0, address.find('/')));
        }
    }
    AddressRedaction addresses(tunnelAddresses);
    collection.text("network.txt",
                    networkText(network, tunnel, settings.redact ? &addresses : nullptr));

    // A platform without a filtering engine (Wine's) has none to show; only an administrator
    // may read them where there is one.
    std::string filtersFailure;
    bool filtersDenied = false;
    const std::string filters = filtersInForce(filtersFailure, filtersDenied);
    if (filtersFailure.empty()) {
        collection.text("filters.txt", filters);
    } else {
        collection.missing("filters.txt", filtersFailure, filtersDenied);
    }

    const CliOutput active = runCli({"active"}, settings.client);
    collection.text("active.txt", active.out + "\n" + active.err + "(exit status " +
                                      std::to_string(active.status) + ")\n");
    return collection.finish();
}
