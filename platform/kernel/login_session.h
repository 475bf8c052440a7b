// The login session that scopes named mutexes (layer-internal).
#pragma once

#include <string>

// The kernel's login-session id (/proc/self/sessionid), or the one a test
// stands in; "none" outside any session, which all such processes share.
// Any thread.
std::string login_session_id();

// For tests: named mutexes created from now on belong to login session id,
// as if this process ran in another login of the same user; an empty id
// goes back to the kernel's.
void login_session_id_set_for_tests(const std::string& id);
