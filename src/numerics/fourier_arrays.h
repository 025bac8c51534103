#pragma once
// The Fourier routines on array objects. A sequence is two IDoubleArray objects of equal
// Count (real and imaginary parts). Arrays of this library are worked on in place through
// IDoubleArrayData; any other implementation is read and written through Item and Count.
//
// Expected failures (an array missing, unequal counts, an empty sequence) give false and
// change nothing. A failing array call raises EQuellarError carrying its status, reported
// with the routine's tag on the way out.
#include "automation/Quellar_TLB.h"
#include "errors/Asserts.h"

namespace quellar::fourier {

// The location tags the routines report with.
extern const Tag kTagFourierTransform;
extern const Tag kTagPowerSpectrum;
extern const Tag kTagCentreSpectrum;
extern const Tag kTagPeakIndex;

// ReOut/ImOut := transform of ReIn/ImIn (see fourier.h for the sign convention); the outputs
// get the Count of the inputs and may be the input objects themselves.
bool FourierTransform(IDoubleArray* reIn, IDoubleArray* imIn, IDoubleArray* reOut,
                      IDoubleArray* imOut, int sign);

// Power := amplitude of the centred, normalised transform (Count set to N); Re and Im are
// left holding the normalised, unshifted transform.
bool PowerSpectrum(IDoubleArray* re, IDoubleArray* im, IDoubleArray* power);

// Outputs := inputs rotated by N div 2 places (Count set to N); outputs may be the inputs.
// An empty sequence is no failure: the outputs become empty.
bool CentreSpectrum(IDoubleArray* reIn, IDoubleArray* imIn, IDoubleArray* reOut,
                    IDoubleArray* imOut);

// Index of the first largest value above 0 among items 0..count-1 (0 when none exceeds 0);
// count is limited to the array's Count, and a missing array gives 0.
int PeakIndex(IDoubleArray* values, int count);

}  // namespace quellar::fourier
