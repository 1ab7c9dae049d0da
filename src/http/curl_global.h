#pragma once

// libcurl's global state is set up once per process, before the first handle on any thread.
void EnsureCurlGlobalInit();
