#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "Core/Types.h"
#include "LoadGenerator.h"

namespace TarnRpc {

// What tarn-rpc was asked to do.
enum class ERunMode
{
    Request,  // CLASS METHOD [ARG ...]: kRequest holds the request
    Raw,      // --raw: kRaw holds the whole request
    Script,   // --script: kScript names the file of requests
    Demo,     // demo
    Bench,    // bench: kLoad holds the load options
};

// The command line of tarn-rpc, read.
struct SCommandLine
{
    // A host name or address; TARN_HOST and TARN_PORT give the defaults.
    std::string kHost = "127.0.0.1";
    uint16 uiPort = Common::TcpSocket::kDefaultPort;
    int iInstance = 0;
    bool bNoAck = false;
    // Also the engine's own log lines and the memory manager's closing
    // report, on the standard error.
    bool bVerbose = false;
    double dTimeoutSeconds = 5.0;
    std::string kRaw;
    std::string kScript;
    double dSeconds = 4.0;
    SLoadOptions kLoad;
    std::vector<std::string> kWords;

    ERunMode eMode = ERunMode::Request;
    // The request of ERunMode::Request.
    std::string kRequest;
};

// Reads the command line of tarn-rpc into kLine; connects nowhere, reads no
// file and never ends the process. True when the program goes on to run
// kLine.eMode; false when it ends at once with *piExit: ExitOk after --help
// or --version (written to kOut), ExitUsage after a bad command line (the
// message goes to kErr; a request argument that is not a JSON value is
// reported on the standard error).
bool ParseCommandLine(int iArgc, const char* const* ppArgv, SCommandLine& kLine, int* piExit, std::ostream& kOut,
                      std::ostream& kErr);

// One request of a script and the line it came from.
struct SScriptRequest
{
    uint32 uiLine = 0;
    std::string kText;
};

// Reads a script: one JSON object per line; blank lines and lines starting
// with '#' are skipped. ExitUsage when the file cannot be read or a line is
// not a JSON object (each such line reported on kErr as
// "FILE:LINE: not a JSON object: ..."); nothing is kept then.
int ReadScript(const std::string& kPath, std::vector<SScriptRequest>& kRequests, std::ostream& kErr);

}  // namespace TarnRpc
