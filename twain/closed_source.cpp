// The answers of a closed source. Before MSG_OPENDS nothing is negotiated,
// no digitizer describes an image and nothing is transferred: every triplet
// is refused, each with the condition and context text its handler reports
// when open, in the order its handler checks. Only the identity, the open,
// the status, the manager's entry points and the close are served (all but
// the close by their handlers).
#include "twain/closed_source.h"

#include "twain/condition.h"
#include "twain/debug_log.h"

namespace {

constexpr bool AnyMessage = true;

enum class Kind : unsigned char {
    Handler,  // the source's own handler serves it
    Refuse,   // TWRC_FAILURE with Condition
    Succeed,  // TWRC_SUCCESS with Condition recorded (0: none) and Fill written
};

struct ClosedAnswer {
    TW_UINT32 DG;
    TW_UINT16 DAT;
    TW_UINT16 MSG;
    bool EveryMessage;  // the row answers every message not matched before it
    Kind Answer;
    TW_UINT16 Condition;
    const char* Context;
    TW_UINT16 NullCondition;  // not 0: a null pData is refused with it first
    const char* NullContext;  // its context; nullptr: Context
    const char* Note;         // a line of its own written before the answer
    TW_UINT32 Fill;           // Succeed: the value written at pData
    unsigned FillBytes;       //   in this many bytes (0: nothing written)
};

const char* const IdentityContext = "General failure in response to DAT_IDENTITY.  ";
const char* const EnableContext = "General failure in response to MSG_ENABLEDS.  ";
const char* const CapabilityContext = "General failure in DG_CONTROL / DAT_CAPABILITY / ... triple\n";
const char* const PendingContext = "General failure in response to DAT_PENDINGXFER.  ";
const char* const MemSetupContext = "General failure in response to DAT_SETUPMEMXFER, not supported.  ";
const char* const FileSetupContext = "General failure in response to DAT_SETUPFILEXFER, not supported.  ";
const char* const CreateFileContext = "Unable to create file <<DAT_SETUPFILEXFER>>";
const char* const XferGroupContext = "General failure in response to DAT_XFERGROUP, not supported.  ";
const char* const ImageInfoContext = "General failure in transfer.  ";
const char* const LayoutContext = "General failure in response to DAT_IMAGEINFO.  ";
const char* const CustomDataContext = "General failure in response to DAT_CUSTOMDSDATA.  ";

constexpr TW_UINT16 Seq = TWCC_SEQERROR;
constexpr TW_UINT16 Protocol = TWCC_BADPROTOCOL;
constexpr TW_UINT16 Value = TWCC_BADVALUE;

// Rows are matched in order: a DAT's messages first, then its row for every
// other message. A DAT without rows is refused as the dispatcher refuses it.
const ClosedAnswer ClosedAnswers[] = {
    {DG_CONTROL, DAT_IDENTITY, MSG_GET, false, Kind::Handler, 0, nullptr, 0, nullptr, nullptr, 0, 0},
    {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, false, Kind::Handler, 0, nullptr, 0, nullptr, nullptr, 0, 0},
    {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, false, Kind::Succeed, Seq,
     "General failure in response to MSG_CLOSEDS.  ", 0, nullptr, nullptr, 0, 0},
    {DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, false, Kind::Refuse, Protocol, IdentityContext, 0, nullptr,
     "DG_CONTROL / DAT_IDENTITY / MSG_GETDEFAULT tbd", 0, 0},
    {DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, false, Kind::Refuse, Protocol, IdentityContext, 0, nullptr,
     "DG_CONTROL / DAT_IDENTITY / MSG_GETFIRST tbd", 0, 0},
    {DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, false, Kind::Refuse, Protocol, IdentityContext, 0, nullptr,
     "DG_CONTROL / DAT_IDENTITY / MSG_GETNEXT tbd", 0, 0},
    {DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, false, Kind::Refuse, Protocol, IdentityContext, 0, nullptr,
     "DG_CONTROL / DAT_IDENTITY / MSG_USERSELECT tbd", 0, 0},
    {DG_CONTROL, DAT_IDENTITY, 0, AnyMessage, Kind::Refuse, Protocol, IdentityContext, 0, nullptr, nullptr, 0, 0},

    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, false, Kind::Refuse, Seq, EnableContext, Value, nullptr, nullptr,
     0, 0},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, false, Kind::Refuse, Seq, EnableContext, Value, nullptr,
     nullptr, 0, 0},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, false, Kind::Refuse, Seq,
     "General failure in response to MSG_DISABLEDS.  ", 0, nullptr, nullptr, 0, 0},
    {DG_CONTROL, DAT_USERINTERFACE, 0, AnyMessage, Kind::Refuse, Protocol,
     "General failure in response to DAT_USERINTERFACE.  ", 0, nullptr, nullptr, 0, 0},

    // No capability is negotiated before the open, supported or not.
    {DG_CONTROL, DAT_CAPABILITY, 0, AnyMessage, Kind::Refuse, Seq, CapabilityContext, Value, nullptr, nullptr, 0,
     0},

    {DG_CONTROL, DAT_STATUS, 0, AnyMessage, Kind::Handler, 0, nullptr, 0, nullptr, nullptr, 0, 0},
    // A 2.x manager hands its entry points over before the open.
    {DG_CONTROL, DAT_ENTRYPOINT, 0, AnyMessage, Kind::Handler, 0, nullptr, 0, nullptr, nullptr, 0, 0},

    // No transfer was negotiated: none is pending.
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, false, Kind::Succeed, 0, PendingContext, Value, nullptr, nullptr, 0,
     sizeof(TW_UINT16)},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, false, Kind::Refuse, Seq, PendingContext, Value, nullptr, nullptr,
     0, 0},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, false, Kind::Refuse, Seq, PendingContext, Value, nullptr, nullptr, 0,
     0},
    {DG_CONTROL, DAT_PENDINGXFERS, 0, AnyMessage, Kind::Refuse, Protocol, PendingContext, Value, nullptr, nullptr,
     0, 0},

    // Buffers and files are set up for a digitizer's image: there is none.
    {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, false, Kind::Refuse, Seq, MemSetupContext, Value, nullptr, nullptr, 0,
     0},
    {DG_CONTROL, DAT_SETUPMEMXFER, 0, AnyMessage, Kind::Refuse, Protocol, MemSetupContext, 0, nullptr, nullptr, 0,
     0},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, false, Kind::Refuse, Seq, FileSetupContext, Value, nullptr, nullptr,
     0, 0},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_GETDEFAULT, false, Kind::Refuse, Seq, FileSetupContext, Value, nullptr,
     nullptr, 0, 0},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_RESET, false, Kind::Refuse, Seq, FileSetupContext, Value, nullptr, nullptr,
     0, 0},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, false, Kind::Refuse, Seq, FileSetupContext, Value, CreateFileContext,
     nullptr, 0, 0},
    {DG_CONTROL, DAT_SETUPFILEXFER, 0, AnyMessage, Kind::Refuse, Protocol, FileSetupContext, 0, nullptr, nullptr,
     0, 0},

    {DG_CONTROL, DAT_XFERGROUP, MSG_GET, false, Kind::Succeed, 0, XferGroupContext, Value, nullptr, nullptr,
     DG_IMAGE, sizeof(TW_UINT32)},
    {DG_CONTROL, DAT_XFERGROUP, 0, AnyMessage, Kind::Refuse, Protocol, XferGroupContext, 0, nullptr, nullptr, 0, 0},

    // No digitizer runs a setup to save, none is restored before the open.
    {DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, false, Kind::Refuse, TWCC_LOWMEMORY, CustomDataContext, Value, nullptr,
     nullptr, 0, 0},
    {DG_CONTROL, DAT_CUSTOMDSDATA, MSG_SET, false, Kind::Refuse, Seq, CustomDataContext, 0, nullptr, nullptr, 0,
     0},
    {DG_CONTROL, DAT_CUSTOMDSDATA, 0, AnyMessage, Kind::Refuse, Protocol, CustomDataContext, 0, nullptr, nullptr,
     0, 0},

    {DG_CONTROL, DAT_EVENT, 0, AnyMessage, Kind::Refuse, Protocol, "General failure in response to DAT_EVENT.  ", 0,
     nullptr, nullptr, 0, 0},

    {DG_IMAGE, DAT_IMAGEINFO, MSG_GET, false, Kind::Refuse, TWCC_LOWMEMORY, ImageInfoContext, Value, nullptr,
     nullptr, 0, 0},
    {DG_IMAGE, DAT_IMAGEINFO, 0, AnyMessage, Kind::Refuse, Protocol, ImageInfoContext, 0, nullptr, nullptr, 0, 0},
    {DG_IMAGE, DAT_IMAGELAYOUT, 0, AnyMessage, Kind::Refuse, TWCC_LOWMEMORY, LayoutContext, 0, nullptr, nullptr, 0,
     0},
    {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, false, Kind::Refuse, Seq,
     "General failure in response to DAT_IMAGEMEMXFER.  ", 0, nullptr, nullptr, 0, 0},
    {DG_IMAGE, DAT_IMAGEMEMXFER, 0, AnyMessage, Kind::Refuse, Protocol,
     "General failure in response to DAT_IMAGEMEMXFER.  ", 0, nullptr, nullptr, 0, 0},
    {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, false, Kind::Refuse, Seq,
     "General failure in response to DAT_IMAGENATIVEXFER.  ", 0, nullptr, nullptr, 0, 0},
    {DG_IMAGE, DAT_IMAGENATIVEXFER, 0, AnyMessage, Kind::Refuse, Protocol,
     "General failure in response to DAT_IMAGENATIVEXFER.  ", 0, nullptr, nullptr, 0, 0},
    {DG_IMAGE, DAT_IMAGEFILEXFER, 0, AnyMessage, Kind::Refuse, Seq,
     "General failure in response to DAT_IMAGEFILEXFER.  ", 0, nullptr, nullptr, 0, 0},
    {DG_IMAGE, DAT_EXTIMAGEINFO, MSG_GET, false, Kind::Refuse, Seq,
     "General failure in response to DAT_EXTIMAGEINFO.  ", 0, nullptr, nullptr, 0, 0},
    {DG_IMAGE, DAT_EXTIMAGEINFO, 0, AnyMessage, Kind::Refuse, Protocol,
     "General failure in response to DAT_EXTIMAGEINFO.  ", 0, nullptr, nullptr, 0, 0},
};

const ClosedAnswer* FindClosedAnswer(const Triplet& t)
{
    for (const ClosedAnswer& row : ClosedAnswers) {
        if (row.DG == t.DG && row.DAT == t.DAT && (row.EveryMessage || row.MSG == t.MSG)) {
            return &row;
        }
    }
    return nullptr;
}

void WriteFill(void* data, TW_UINT32 value, unsigned bytes)
{
    auto* to = static_cast<unsigned char*>(data);
    for (unsigned i = 0; i < bytes; ++i) {
        to[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

}  // namespace

void LogDispatch(const Triplet& triplet)
{
    DebugLog().Write("Dispatching %s / DAT_%x / MSG_%x \n", triplet.DG == DG_CONTROL ? "DG_CONTROL" : "DG_IMAGE",
                     static_cast<unsigned>(triplet.DAT), static_cast<unsigned>(triplet.MSG));
}

TW_UINT16 RefuseDataGroup()
{
    return FailWith("Dispatching nothing, bad protocol (or DG_AUDIO) \n", TWCC_BADPROTOCOL);
}

TW_UINT16 RefuseUnknownDat()
{
    return FailWith("General failure in dispatcher of DG_CONTROL or DG_IMAGE.   ", TWCC_BADPROTOCOL);
}

bool AnswerClosedSource(const Triplet& triplet, TW_UINT16& returnCode)
{
    const ClosedAnswer* row = FindClosedAnswer(triplet);
    if (row == nullptr) {
        returnCode = RefuseUnknownDat();
        return true;
    }
    if (row->Answer == Kind::Handler) {
        return false;
    }
    if (row->NullCondition != 0 && triplet.pData == nullptr) {
        returnCode = FailWith(row->NullContext != nullptr ? row->NullContext : row->Context, row->NullCondition);
        return true;
    }
    if (row->Note != nullptr) {
        DebugLog().Write("%s", row->Note);
    }
    if (row->Answer == Kind::Refuse) {
        returnCode = FailWith(row->Context, row->Condition);
        return true;
    }
    if (row->Condition != 0) {
        ReportCondition(row->Context, row->Condition);
    }
    if (row->FillBytes != 0) {
        WriteFill(triplet.pData, row->Fill, row->FillBytes);
    }
    returnCode = TWRC_SUCCESS;
    return true;
}
