// One redirected stream of a console application: a server end and a client
// end of the same pipe name, connected before the constructor returns.
#include "base/Exception.h"
#include "ovo/ConsoleApplicationImpl.h"

namespace green {

namespace {
constexpr uint32_t kPipeBufSize = 4096;
}  // namespace

// The connect must be pending before the client opens: the opener first
// sleeps, so the server's WaitConnection starts the connect, and the hub
// runs the opener while it waits. An opener that fails ends that wait
// itself and its error is raised here, instead of a wait without end.
TOvoConsoleApplication::TInOut::TInOut(const std::string& Name, TOpener Opener) {
  Pipe1 = MakeRef<TOvoNamedPipe>(Name);
  Pipe1->MakeServer(kPipeBufSize);
  Pipe2 = MakeRef<TOvoNamedPipe>(Name);
  RefPtr<TOvoNamedPipe> server = Pipe1;
  RefPtr<TOvoNamedPipe> client = Pipe2;
  TSymmetric opener = TSymmetric::Spawn([server, client, Opener] {
    try {
      Opener(client.get(), 0);
    } catch (const TOvoProvider::EIOError&) {
      server->AbandonConnect();
      throw;
    }
  });
  Pipe1->WaitConnection(INFINITE);
  opener.Join(true);
}

void TOvoConsoleApplication::TInOut::DelayedOpen(TOvoNamedPipe* Pipe, uint32_t Timeout) {
  GreenSleep(Timeout);
  Pipe->Open();
}

void TOvoConsoleApplication::TInOut::Destroy() {
  Pipe1.reset();
  Pipe2.reset();
}

void TOvoConsoleApplication::TInOut::RefreshEncodings(const TEncoding& Enc,
                                                      const std::string& EOL) {
  for (TOvoNamedPipe* pipe : {Pipe1.get(), Pipe2.get()}) {
    if (!pipe) continue;
    pipe->SetEncoding(Enc);
    pipe->SetEOL(EOL);
  }
}

}  // namespace green
