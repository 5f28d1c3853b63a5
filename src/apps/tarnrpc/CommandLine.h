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
    std::string kHost = "127.0.0.1";
    uint16 uiPort = Common::TcpSocket::kDefaultPort;
    int iInstance = 0;
    bool bNoAck = false;
    std::string kRaw;
    std::string kScript;
    double dSeconds = 4.0;
    SLoadOptions kLoad;
    std::vector<std::string> kWords;

    ERunMode eMode = ERunMode::Request;
    // The request of ERunMode::Request.
    std::string kRequest;
};

// Reads the command line of tarn-rpc into kLine; connects nowhere and never
// ends the process. True when the program goes on to run kLine.eMode;
// false when it ends at once with *piExit: ExitOk after --help or --version
// (written to kOut), ExitUsage after a bad command line (the message goes to
// kErr; a request argument that is not a JSON value is reported on the
// standard error).
bool ParseCommandLine(int iArgc, const char* const* ppArgv, SCommandLine& kLine, int* piExit, std::ostream& kOut,
                      std::ostream& kErr);

}  // namespace TarnRpc
