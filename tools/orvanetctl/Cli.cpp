#include "Cli.h"

#include "PipeClient.h"
#include "ServiceIdentity.h"

#include <nlohmann/json.hpp>

namespace {

const char* const usage = "usage: orvanetctl start|stop|active\n"
                          "       orvanetctl send TEXT\n";

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

} // namespace

int exitStatusFor(const std::string& response) {
    const nlohmann::json parsed = nlohmann::json::parse(response, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("status") || !parsed["status"].is_string()) {
        return exitNoAnswer;
    }
    const std::string status = parsed["status"].get<std::string>();
    if (status == "ok") {
        return exitOk;
    }
    return status == "error" ? exitError : exitNoAnswer;
}

std::string requestFor(const std::vector<std::string>& args) {
    if (args.size() == 1 && (args[0] == "start" || args[0] == "stop" || args[0] == "active")) {
        return "{\"command\":\"" + args[0] + "\"}";
    }
    if (args.size() == 2 && args[0] == "send" && !args[1].empty()) {
        return args[1];
    }
    return {};
}

CliOutput runCli(const std::vector<std::string>& args, const ClientSettings& settings) {
    CliOutput result;
    const std::string request = requestFor(args);
    if (request.empty()) {
        result.err = usage;
        return result;
    }
    const std::string pipe = narrow(settings.pipeName);
    const std::string service = narrow(settings.serviceName);

    PipeClient client;
    switch (client.open(settings.pipeName, settings.busyWait, settings.notServedWait)) {
    case PipeClient::Opened::Connected:
        break;
    case PipeClient::Opened::NotServed:
        result.err = "orvanetctl: no service answers on " + pipe + " (is the " + service +
                     " service running?)\n";
        return result;
    case PipeClient::Opened::Busy:
        result.err = "orvanetctl: " + pipe + " stayed busy for " +
                     std::to_string(settings.busyWait.count() / 1000) +
                     " seconds; no service answered\n";
        return result;
    case PipeClient::Opened::Failed:
        result.err = "orvanetctl: cannot open " + pipe + " (error " +
                     std::to_string(client.openError()) + ")\n";
        return result;
    }

    // Anyone may create a pipe of this name while the service does not hold it; only the
    // service's own process gets the request.
    const DWORD server = client.serverProcessId();
    const ServiceProcess owner = queryServiceProcess(settings.serviceName);
    if (server == 0 || owner.processId == 0 || server != owner.processId) {
        std::string why;
        if (!owner.error.empty()) {
            why = owner.error;
        } else if (owner.processId == 0) {
            why = "the service is not running";
        } else if (server == 0) {
            why = "the pipe's server process is unknown";
        } else {
            why = "the service runs as process " + std::to_string(owner.processId);
        }
        result.err = "orvanetctl: refusing to send: " + pipe + " is served by process " +
                     std::to_string(server) + ", not by the " + service + " service (" + why +
                     ")\n";
        return result;
    }

    const PipeClient::Exchange exchange = client.exchange(request, settings.responseWait);
    if (!exchange.answered) {
        result.err =
            "orvanetctl: no answer from the " + service + " service: " + exchange.error + "\n";
        return result;
    }
    result.out = exchange.response;
    result.status = exitStatusFor(exchange.response);
    if (result.status == exitNoAnswer) {
        result.err = "orvanetctl: the response carries no status \"ok\" or \"error\"\n";
    }
    return result;
}
