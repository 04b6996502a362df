#include "Platform.h"

int SystemVersionQuery(OsVersionInfo&)
{
    return 0;
}
