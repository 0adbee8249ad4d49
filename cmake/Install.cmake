# Installation layout of the SDK (cmake --install).
