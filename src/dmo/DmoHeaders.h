// The platform's DMO headers, included in the one order that gives the
// media-type helpers C linkage (the toolchain's dmort.h lacks it).
#pragma once

#include <windows.h>
#include <mmreg.h>
#include <mediaobj.h>

extern "C" {
#include <dmort.h>
}

#include <dmo.h>
#include <dmoreg.h>
#include <medparam.h>
#include <uuids.h>
