// fleet users: the users file of fleet serve on an office network (web/users.h),
// kept by its administrator: add (or replace) a user with his password, remove one,
// list them. The file is written aside and renamed into place, readable by its owner
// alone when it is new.
#pragma once

#include <string>

#include "operations/context.h"

namespace fleet {

int users_add(const Context& context, const std::string& file, const std::string& name, const std::string& role);
int users_remove(const Context& context, const std::string& file, const std::string& name);
int users_list(const Context& context, const std::string& file);

}  // namespace fleet
