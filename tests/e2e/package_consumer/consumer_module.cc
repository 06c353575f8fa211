// The smallest complete game module: registers, logs, returns.
#include <engine_starter/module.h>

namespace {

class Game : public ICApplication {
 public:
  void Run(int, char**) override {}
  void Shutdown() override {}
  void Restart() override {}
  bool DownloadFile(const char*, const char*, const char*, int) override {
    return false;
  }
  std::string getUpdatePath() override { return std::string(); }
};

Game game;

}  // namespace

extern "C" bool GameDLLInit(ModuleImportExport ie, int, char**) {
  auto* app = static_cast<CApplication*>(ie.app);
  ModuleImportExport mine;
  mine.app = &game;
  app->ImportDLLPointers(mine);
  app->log->Write("consumer module ran (%s)", kGameModuleEntryPoint);
  return true;
}
