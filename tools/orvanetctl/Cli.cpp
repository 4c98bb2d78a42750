#include "Cli.h"

#include "Collect.h"
#include "PipeClient.h"
#include "ServiceIdentity.h"
#include "platform/Utf8.h"

#include <nlohmann/json.hpp>

#include <windows.h>

#include <exception>

namespace {

const char* const usage = "usage: orvanetctl start|stop|active\n"
                          "       orvanetctl send TEXT\n"
                          "       orvanetctl collect FOLDER [--no-redact] [--log-folder DIR]\n";

// Names for messages: our own settings, valid text in practice.
std::string shown(const std::wstring& text) {
    return toUtf8(text, InvalidText::Refuse).value_or("?");
}

} // namespace

bool writeResponse(std::FILE* out, const std::string& response) {
    const bool written = std::fwrite(response.data(), 1, response.size(), out) == response.size();
    return std::fflush(out) == 0 && written;
}

int runProgram(int argc, wchar_t** argv, std::FILE* out, std::FILE* err) {
    // Every end is one of the documented exit statuses, also an allocation that fails.
    try {
        std::vector<std::string> args;
        for (int i = 1; i < argc; ++i) {
            std::optional<std::string> arg = toUtf8(argv[i], InvalidText::Refuse);
            if (!arg) {
                std::fputs(("orvanetctl: argument " + std::to_string(i) +
                            " is not valid Unicode text; nothing was sent\n")
                               .c_str(),
                           err);
                return exitNoAnswer;
            }
            args.push_back(std::move(*arg));
        }
        const CliOutput output = runCli(args);
        const bool written = writeResponse(out, output.out);
        std::fputs(output.err.c_str(), err);
        if (!written) {
            std::fputs("orvanetctl: the service answered, but its response could not be "
                       "written to standard output\n",
                       err);
            return exitNoAnswer;
        }
        return output.status;
    } catch (const std::exception& e) {
        std::fputs((std::string("orvanetctl: internal error: ") + e.what() + "\n").c_str(), err);
    } catch (...) {
        std::fputs("orvanetctl: internal error\n", err);
    }
    return exitNoAnswer;
}

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
    if (!args.empty() && args[0] == "collect") {
        CollectSettings collect;
        collect.client = settings;
        bool valid = args.size() >= 2 && !args[1].empty();
        for (std::size_t i = 2; valid && i < args.size(); ++i) {
            if (args[i] == "--no-redact" && collect.redact) {
                collect.redact = false;
            } else if (args[i] == "--log-folder" && i + 1 < args.size() &&
                       collect.logFolder.empty() && !args[i + 1].empty()) {
                collect.logFolder = toUtf16(args[++i]);
            } else {
                valid = false;
            }
        }
        if (!valid) {
            result.err = usage;
            return result;
        }
        return runCollect(toUtf16(args[1]), collect);
    }
    const std::string request = requestFor(args);
    if (request.empty()) {
        result.err = usage;
        return result;
    }
    const std::string pipe = shown(settings.pipeName);
    const std::string service = shown(settings.serviceName);

    // Asked before the pipe is opened: once connected, the service's read bound runs.
    ServiceProcess owner = queryServiceProcess(settings.serviceName);
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
    if (server != 0 && server != owner.processId) {
        // The service may have (re)started while the client waited for the pipe.
        owner = queryServiceProcess(settings.serviceName);
    }
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

    const PipeClient::Exchange exchange =
        client.exchange(request, settings.responseWait, settings.responseLimit);
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
