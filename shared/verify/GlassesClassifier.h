#pragma once
// The photo classifier of glasses, supplied by a host. An implementation prepares the frame with
// ClassifierPreprocessor, runs its model on the tensor, and hands the scores, the labels read with
// ClassifierOutput::parseLabels and the time it took to ClassifierOutput::toResult.

#include "shared/verify/ClassifierInput.h"
#include "shared/verify/Verdict.h"

namespace glintward {

class GlassesClassifier {
public:
    virtual ~GlassesClassifier() = default;

    // The verdict for one frame; runs synchronously.
    virtual VerifyResult classify(const ClassifierInput& input) = 0;
};

}  // namespace glintward
