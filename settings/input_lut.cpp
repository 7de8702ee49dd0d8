#include "settings/input_lut.h"

#include <initializer_list>
#include <new>

InputLut* CurrentInputLut = nullptr;

namespace {

alignas(InputLut) unsigned char InputLutRoom[sizeof(InputLut)];

}  // namespace

void StartInputLut()
{
    EndInputLut();
    CurrentInputLut = new (InputLutRoom) InputLut;
}

void EndInputLut()
{
    if (CurrentInputLut != nullptr) {
        CurrentInputLut->~InputLut();
        CurrentInputLut = nullptr;
    }
}

InputLut::InputLut()
{
    for (int32_t channel : {LutShared, LutGreen, LutBlue, LutRed}) {
        AppendNode(channel, 0, 0);
        AppendNode(channel, 128, 128);
        AppendNode(channel, 255, 255);
    }
}

bool InputLut::AppendNode(int32_t channel, int32_t x, int32_t y)
{
    Curve& curve = Curves_[channel];
    if (curve.Count == MaxNodesPerCurve) {
        return false;
    }
    curve.Nodes[curve.Count++] = {x, y};
    return true;
}

void InputLut::CopyCurve(int32_t destination, int32_t source)
{
    if (destination != source) {
        Curves_[destination] = Curves_[source];
    }
}

void InputLut::SelectChannel(int32_t channel)
{
    if (channel == ActiveChannel_) {
        return;
    }
    // Leaving the shared curve starts every band from it; coming back finds
    // the shared curve as it was left.
    if (ActiveChannel_ == LutShared) {
        CopyCurve(LutRed, LutShared);
        CopyCurve(LutGreen, LutShared);
        CopyCurve(LutBlue, LutShared);
    }
    ActiveChannel_ = channel;
}

void InputLut::LoadNodes(uint32_t header, int32_t lutType, const uint8_t* nodes)
{
    if (header == 0) {
        return;
    }
    if (IsSharedLutForm(header)) {
        Curves_[LutShared].Count = 0;
        if (lutType != 0) {
            return;
        }
        ActiveChannel_ = LutShared;
        const uint32_t count = header >> 24;
        for (uint32_t i = 0; i < count; ++i) {
            AppendNode(LutShared, nodes[2 * i], nodes[2 * i + 1]);
        }
        CopyCurve(LutRed, LutShared);
        CopyCurve(LutGreen, LutShared);
        CopyCurve(LutBlue, LutShared);
        return;
    }
    if (lutType != 0) {
        return;
    }
    const int32_t active = ActiveChannel_;
    const uint32_t counts[3] = {header >> 16 & 0xFF, header >> 8 & 0xFF, header & 0xFF};
    const uint8_t* next = nodes;
    for (int32_t channel : {LutRed, LutGreen, LutBlue}) {
        if (counts[channel] == 0) {
            continue;  // a curve stored without nodes keeps its own
        }
        Curves_[channel].Count = 0;
        for (uint32_t i = 0; i < counts[channel]; ++i, next += 2) {
            AppendNode(channel, next[0], next[1]);
        }
    }
    ActiveChannel_ = active;
}

CurveBytes InputLut::GetNodes(int32_t channel) const
{
    const Curve& curve = Curves_[channel];
    CurveBytes bytes;
    for (size_t i = 0; i < curve.Count; ++i) {
        bytes.Bytes[bytes.Size++] = static_cast<uint8_t>(curve.Nodes[i].X);
        bytes.Bytes[bytes.Size++] = static_cast<uint8_t>(curve.Nodes[i].Y);
    }
    return bytes;
}

void InputLut::TearDown()
{
    for (Curve& curve : Curves_) {
        curve.Count = 0;
    }
}
