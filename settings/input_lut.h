// The input look-up table of boards that have one: four node curves (red,
// green, blue and the shared one) and which of them is in force.
#pragma once

#include <cstdint>

#include "settings/lut_form.h"

constexpr int32_t LutRed = 0, LutGreen = 1, LutBlue = 2, LutShared = 3;

class InputLut {
public:
    // Every curve (0,0) (128,128) (255,255), red active.
    InputLut();
    InputLut(const InputLut&) = delete;
    InputLut& operator=(const InputLut&) = delete;

    int32_t ActiveChannel() const { return ActiveChannel_; }

    // False, changing nothing, when the curve holds MaxNodesPerCurve nodes.
    bool AppendNode(int32_t channel, int32_t x, int32_t y);
    void CopyCurve(int32_t destination, int32_t source);
    void SelectChannel(int32_t channel);
    // Restores curves from the stored form: header, lut type, node bytes
    // (at least as many as the header announces).
    void LoadNodes(uint32_t header, int32_t lutType, const uint8_t* nodes);
    // The curve's nodes, x and y one byte each, in list order.
    CurveBytes GetNodes(int32_t channel) const;
    // Empties every curve.
    void TearDown();

private:
    // Fixed room, as many nodes as the stored form can count: the table is
    // built and changed where a failed allocation could not be reported.
    struct Curve {
        size_t Count = 0;
        LutNode Nodes[MaxNodesPerCurve] = {};
    };
    int32_t ActiveChannel_ = LutRed;
    Curve Curves_[4];
};

// The board's table while the digitizer runs, or nullptr.
extern InputLut* CurrentInputLut;

// A fresh table (every curve as constructed) as CurrentInputLut, in the one
// place it lives: a digitizer's start-up allocates nothing for it, so
// nothing there can be refused. EndInputLut ends it (nullptr again).
void StartInputLut();
void EndInputLut();
