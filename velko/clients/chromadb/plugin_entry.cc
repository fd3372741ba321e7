// The chromadb plug-in: registers the documentation operations "chromadb.*".
#include "velko/clients/chromadb/module.h"
#include "velko/host/plugin.h"

VELKO_PLUGIN(velko::clients::chromadb::register_module)
