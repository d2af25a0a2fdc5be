#include "asnobody.h"

#include "childprocess.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <unistd.h>

bool BecomeNobody() { return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0; }

std::string RunAsNobody(const std::function<std::string()>& attempt)
{
    return TextFromChild([&] {
               return BecomeNobody() ? attempt()
                                     : std::string("skip: cannot become uid 65534: ") + std::strerror(errno);
           })
        .value_or("child failed");
}
