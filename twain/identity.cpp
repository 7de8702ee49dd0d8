// DAT_IDENTITY: the source's identity.
#include "diag/debug_log.h"
#include "twain/condition.h"
#include "twain/control.h"
#include "twain/source.h"

LONG SourceState = 300;

namespace {

const char* const IdentityContext = "General failure in response to DAT_IDENTITY.  ";

TW_UINT16 FailIdentity(TW_UINT16 code)
{
    ReportCondition(IdentityContext, code);
    return TWRC_FAILURE;
}

}  // namespace

TW_UINT16 HandleIdentity(const Triplet& triplet)
{
    switch (triplet.MSG) {
    case MSG_GET:
        if (triplet.pData == nullptr) {
            return FailIdentity(TWCC_BADVALUE);
        }
        *static_cast<TW_IDENTITY*>(triplet.pData) = SourceIdentity;
        return TWRC_SUCCESS;
    case MSG_GETDEFAULT:
        DebugLog().Write("DG_CONTROL / DAT_IDENTITY / MSG_GETDEFAULT tbd");
        return FailIdentity(TWCC_BADPROTOCOL);
    case MSG_GETFIRST:
        DebugLog().Write("DG_CONTROL / DAT_IDENTITY / MSG_GETFIRST tbd");
        return FailIdentity(TWCC_BADPROTOCOL);
    case MSG_GETNEXT:
        DebugLog().Write("DG_CONTROL / DAT_IDENTITY / MSG_GETNEXT tbd");
        return FailIdentity(TWCC_BADPROTOCOL);
    case MSG_USERSELECT:
        DebugLog().Write("DG_CONTROL / DAT_IDENTITY / MSG_USERSELECT tbd");
        return FailIdentity(TWCC_BADPROTOCOL);
    default:
        return FailIdentity(TWCC_BADPROTOCOL);
    }
}
