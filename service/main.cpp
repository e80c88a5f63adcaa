// QuarvSvc: the file service. Runs under the system's service control (on POSIX in the
// foreground until SIGTERM or SIGINT, or under systemd) and serves the files of its BASE
// directory as the settings file "QuarvSvc.ini" beside the executable says.
#include "service/file_server.h"
#include "service/file_service.h"

namespace {

// The process's one file server and its service module.
quarv::FileServer fileServer;
quarv::FileService fileService(fileServer);

}  // namespace

int main() {
  quarv::ServiceModule::SetInstance(&fileService);
  fileService.Run(quarv::kServiceName);
  return 0;
}
