#include "Updater.h"

Updater::Updater(const char* serverUrl_, const char* storeDirectory_,
                 UpdaterDisplayInterface& display_)
    : serverUrl(serverUrl_ != nullptr ? serverUrl_ : ""),
      storeDirectory(storeDirectory_ != nullptr ? storeDirectory_ : ""), display(display_),
      chipType(0) {}

Updater::~Updater() {}
