// Several adapters in one run (-b more than once, -b all): each in its own
// session, on its own thread, at the same time.
#pragma once

#include "adapter/platform.h"
#include "adapter/site.h"
#include "eeprom/request.h"

// Runs rq's command on every adapter it names; prints each adapter's lines
// prefixed with its address (or, under -json, one document
// {"adapters": [...], "status": N}).  Returns 0 when every adapter
// succeeded, 255 for a command-line error found before any adapter is
// touched (thrown as failure), otherwise 1.
int run_several(platform& p, const site& where, const request& rq);

// read FILE on several adapters: FILE with the adapter's address
// ("0000-04-00.0") inserted before its extension.
std::string file_for_adapter(const std::string& file, const pci_function& fn);
