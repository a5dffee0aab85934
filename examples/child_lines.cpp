// The launcher's pattern: run a child program, read the lines it prints for
// at most a given time, then decide. The reader is a greenlet and the time
// limit is the join's; a child that has not answered by then is ended.
// The program is its own child: with an argument it plays one.
#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "green/ChildProcess.h"
#include "green/Greenlet.h"

using namespace green;

// "answers" prints what a detector would and ends; "silent" prints nothing
// for longer than anyone waits.
int PlayChild(const std::string& Part) {
  if (Part == "answers") {
    std::cout << "version 4.8" << std::endl;
    std::cout << "ready" << std::endl;
  } else {
    std::this_thread::sleep_for(std::chrono::seconds(30));
  }
  return 0;
}

void Ask(const std::string& Self, const std::string& Part, uint32_t Timeout) {
  ChildProcess Child(Self, {Part});
  std::vector<std::string> Lines;
  Greenlet Reader = Greenlet::Spawn([&] {
    // Either end of line: a Windows child writes CR LF, a Linux one LF.
    for (const std::string& Line : Child.ReadLines({"\r\n", "\n"})) Lines.push_back(Line);
  });
  const bool Ended = Join({Reader}, Timeout);

  std::cout << Part << ": " << Lines.size() << " lines within " << Timeout << " ms, "
            << (Ended ? "then the output ended" : "and it still runs") << '\n';
  std::string Version;
  for (const std::string& Line : Lines) {
    std::cout << "  " << Line << '\n';
    if (Line.rfind("version ", 0) == 0) Version = Line.substr(8);
  }
  if (!Version.empty())
    std::cout << "  decision: start the worker (found " << Version << ")\n";
  else
    std::cout << "  decision: show the install prompt\n";
  // A reader still waiting is killed; releasing the application then ends
  // the child.
  if (!Ended) Reader.Kill();
}

int main(int argc, char** argv) {
  if (argc > 1) return PlayChild(argv[1]);
  Ask(argv[0], "answers", 10000);
  Ask(argv[0], "silent", 300);
  return 0;
}
