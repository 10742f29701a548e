#include "options.h"

#include "text_escape.h"

#include <host/common/errors.h>
#include <host/common/numbers.h>

#include <common/argument_reader.h>

#include <arpa/inet.h>

#include <string_view>

namespace zelmodsim {
namespace {

constexpr const char kHelp[] = R"(usage: zelmodsim [OPTION...]

Imitates a networked serial device server ("module"): one TCP control port
that receives command frames and answers them, and up to 8 channel ports that
carry raw serial data. It never connects anywhere itself.

Options:
  --address A          IPv4 address to listen on (default 127.0.0.1)
  --control PORT       control port (default 0: any free port)
  --channel PORT:MODE[,OPTION...]
                       add a channel, numbered 1, 2, ... in the order given;
                       at most 8
  --reply TEXT         what a frame is answered with (default OK; C escapes)
  --reply-mode MODE    answer (default), silent or late=MS
  --frame-log FILE     also write every received frame to FILE, one per line
                       (same escaping as the FRAME lines)
  --command-socket P   also take commands on a Unix stream socket at path P
                       (removed again on exit; must not exist yet)
  -h, --help           this text

Channel modes:
  echo                 send back what arrives
  sink                 discard what arrives (it is counted)
  source=FILE          send the file's bytes once on each connect (up to 16 MiB)
  source-text=TEXT     send TEXT once on each connect; C escapes, and a comma
                       must be written \x2c
Channel options:
  refuse               bind the port but never listen: connects are refused
  close-after=N        after N bytes from a connection, close it gracefully
                       (FIN; later bytes are discarded)
  reset-after=N        after N bytes, reset it (RST; unsent output is lost)
  accept-delay         start holding: connections are not accepted until the
                       command "accept CHANNEL"

Connections:
  - One client per port at a time, as on a module: a new connection replaces
    the current one, which is closed (DISCONNECTED ... reason=replaced).
    This holds for the control port too.
  - Channels listen with a backlog of 1. While a channel holds, the kernel
    still completes two connections (their clients see success, their data
    waits); further attempts get no answer and time out at the client.
  - A graceful close sends FIN after any pending output, then discards input
    until the client closes its side.

Control port:
  Frames have no terminator, so every read from the control connection is
  taken as one frame (a client sends one frame and waits for the reply before
  the next; frames sent back to back may arrive as one). Each frame is logged
  and, depending on the reply mode, answered with the reply text: at once,
  never, or MS milliseconds later (late replies go out in frame order and are
  dropped with their connection). Frames change nothing else.

Commands (one per line on standard input or the command socket; each prints
one result line, "ok[ DETAIL]" or "error: REASON"; on the socket the result
is the reply):
  cts CH LEVEL         send the report "CTS<CH> <LEVEL>" (6 bytes) on the
                       control connection; CH and LEVEL are single digits 0-9,
                       sent as they are (1 = first channel, LEVEL 1 = on)
  status CH LEVEL [N]  send N (default 1, at most 227) 9-byte status records
                       "29000<CH>0<LEVEL>0" in one write; all but the last
                       carry the opposite level (0 for LEVEL 1, else 1)
  send-control TEXT    send TEXT (C escapes) on the control connection
  send CH TEXT         send TEXT (C escapes) on channel CH's connection
  close CH | reset CH  close channel CH's connection gracefully | with RST
  close-control        close the control connection gracefully
  reset-control        reset the control connection
  accept CH            stop holding: accept channel CH's connections again
  hold CH              hold: leave channel CH's new connections unaccepted
  reply MODE           switch the reply mode (answer, silent, late=MS);
                       ok reply MODE
  stats                ok stats frames=F received=B1,B2,...
                       (frames received, data bytes taken per channel)
  quit                 exit 0 (so do SIGINT and SIGTERM)
  End of standard input only stops reading it.

Output on standard output, one line each, flushed:
  READY control=PORT channels=PORT1,PORT2,...   once every port is bound
  CONNECTED control | CONNECTED channel=N
  DISCONNECTED control|channel=N reason=peer|error|replaced|close|reset|
               close-control|reset-control|close-after|reset-after
  FRAME TEXT           a received frame (printable ASCII as is, \\ for a
                       backslash, \xHH for any other byte)
  SENT control TEXT    what was sent on the control connection (same escaping)
  SENT channel=N bytes=K   sent by source or the send command (echo is not
                       logged)
  RECEIVED channel=N bytes=K total=T   one read taken; T as in stats
  the command results described above

Exit status: 0 after quit or a signal, 1 when a port or file cannot be
used, 2 for a bad command line.
)";

constexpr std::string_view kDefaultAddress = "127.0.0.1";

in_addr ParseAddress(std::string_view text)
{
    in_addr address{};
    if (inet_pton(AF_INET, std::string(text).c_str(), &address) != 1) {
        throw zel::ParseError("address must be an IPv4 address, not '" + std::string(text) + "'");
    }
    return address;
}

using ArgumentReader = zeltools::ArgumentReader<zel::ParseError>;

void AddChannel(Options& options, std::string_view setup)
{
    if (options.Channels.size() == kMaxChannels) {
        throw zel::ParseError("at most " + std::to_string(kMaxChannels) + " channels");
    }
    options.Channels.push_back(ParseChannelSetup(setup));
}

void ApplyArgument(Options& options, std::string_view arg, ArgumentReader& args)
{
    if (arg == "-h" || arg == "--help") {
        options.Help = true;
    } else if (arg == "--address") {
        options.Address = ParseAddress(args.ValueOf(arg));
    } else if (arg == "--control") {
        options.ControlPort = zel::ParsePort(args.ValueOf(arg));
    } else if (arg == "--channel") {
        AddChannel(options, args.ValueOf(arg));
    } else if (arg == "--reply") {
        options.ReplyText = DecodeEscapes(args.ValueOf(arg));
    } else if (arg == "--reply-mode") {
        options.Reply = ParseReplyMode(args.ValueOf(arg));
    } else if (arg == "--frame-log") {
        options.FrameLog = std::string(args.ValueOf(arg));
    } else if (arg == "--command-socket") {
        options.CommandSocket = std::string(args.ValueOf(arg));
    } else {
        throw zel::ParseError("unknown argument '" + std::string(arg) + "'");
    }
}

}  // namespace

Options ParseOptions(int argc, const char* const* argv)
{
    Options options;
    options.Address = ParseAddress(kDefaultAddress);
    ArgumentReader args(argc, argv);
    while (!args.Done()) {
        ApplyArgument(options, args.Next(), args);
    }
    return options;
}

const char* HelpText()
{
    return kHelp;
}

}  // namespace zelmodsim
