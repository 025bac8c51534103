' Quellar.MathProcessor from VBScript: results come back as Booleans, arrays go in and out as
' objects.
Option Explicit
Dim failures : failures = 0

Sub Check(condition, what)
  If Not condition Then
    failures = failures + 1
    WScript.Echo "FAIL " & what
  End If
End Sub

Function Arr(values)
  Dim a, i
  Set a = CreateObject("Quellar.DoubleArray")
  a.Count = UBound(values) + 1
  For i = 0 To UBound(values)
    a.Item(i) = values(i)
  Next
  Set Arr = a
End Function

Dim m, re, im, outRe, outIm, c, i
Set m = CreateObject("Quellar.MathProcessor")
Set outRe = Arr(Array(9)) : Set outIm = Arr(Array(9))
Check Not m.FFT(Arr(Array(1, 2, 3)), Arr(Array(0, 0, 0, 0)), outRe, outIm), "FFT of unequal counts"
Check Not m.FFT(Arr(Array()), Arr(Array()), outRe, outIm), "FFT of nothing"
Check outRe.Count = 1, "outputs untouched"
Check m.FFTShift(Arr(Array(1, 2, 3, 4)), Arr(Array(0, 0, 0, 0)), outRe, outIm), "FFTShift"
Check outRe(0) = 3 And outRe(1) = 4 And outRe(2) = 1 And outRe(3) = 2, "FFTShift order"
Set re = Arr(Array(1, 0, 0, 0)) : Set im = Arr(Array(0, 0, 0, 0))
Check m.FFTPower(re, im, outRe), "FFTPower"
For i = 0 To 3
  Check outRe(i) = 0.25 And re(i) = 0.25 And im(i) = 0, "FFTPower bin " & i
Next

Set c = Arr(Array())
Check m.RegressionLinear(Arr(Array(0, 1, 2)), Arr(Array(1, 3, 5)), c), "RegressionLinear"
Check c.Count = 2 And Abs(c(0) - 1) < 1E-9 And Abs(c(1) - 2) < 1E-9, "linear " & c(0) & " " & c(1)
Check Not m.RegressionLinear(Arr(Array(1, 1, 1)), Arr(Array(1, 3, 5)), c), "equal x refused"

If failures = 0 Then WScript.Echo "PASS math"
