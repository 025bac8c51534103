' Quellar.MathProcessor from VBScript: the Fourier methods and the built-in regressions on the
' worked examples, then the custom fit through WScript.ConnectObject where the host has it.
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

Function Near(a, b)
  Near = Abs(a - b) <= 1E-6 * (1 + Abs(b))
End Function

Dim m, re, im, outRe, outIm, c, x, y, i, ok
Set m = CreateObject("Quellar.MathProcessor")
Set outRe = Arr(Array(9)) : Set outIm = Arr(Array(9))
Check Not m.FFT(Arr(Array(1, 2, 3)), Arr(Array(0, 0, 0, 0)), outRe, outIm), "FFT of unequal counts"
Check outRe.Count = 1, "outputs untouched"
Check Not m.FFT(Arr(Array()), Arr(Array()), outRe, outIm), "FFT of nothing"
Check m.FFTShift(Arr(Array(1, 2, 3, 4)), Arr(Array(0, 0, 0, 0)), outRe, outIm), "FFTShift"
Check outRe(0) = 3 And outRe(1) = 4 And outRe(2) = 1 And outRe(3) = 2, "FFTShift order"
Set re = Arr(Array(1, 0, 0, 0)) : Set im = Arr(Array(0, 0, 0, 0))
Check m.FFTPower(re, im, outRe), "FFTPower"
For i = 0 To 3
  Check outRe(i) = 0.25 And re(i) = 0.25 And im(i) = 0, "FFTPower bin " & i
Next

Set c = Arr(Array())
Check m.RegressionLinear(Arr(Array(0, 1, 2)), Arr(Array(1, 3, 5)), c), "RegressionLinear"
Check c.Count = 2 And Near(c(0), 1) And Near(c(1), 2), "linear coefficients"
Check Not m.RegressionLinear(Arr(Array(1, 1, 1)), Arr(Array(1, 3, 5)), c), "equal x refused"
Set x = CreateObject("Quellar.DoubleArray") : Set y = CreateObject("Quellar.DoubleArray")
x.Count = 40 : y.Count = 40
For i = 0 To 39
  x(i) = 0.25 * (i + 1)
  y(i) = 5 * Exp(-0.5 * x(i)) + 2
Next
Check m.RegressionExpConst(x, y, c), "RegressionExpConst"
Check Near(c(0), 2) And Near(c(1), 5) And Near(c(2), 0.5), "expconst " & c(0) & " " & c(1) & " " & c(2)
For i = 0 To 39
  y(i) = 10 * x(i) ^ 2 / (9 + x(i) ^ 2)
Next
Check m.RegressionHill(x, y, c), "RegressionHill"
Check Near(c(0), 10) And Near(c(1), 3) And Near(c(2), 2), "hill " & c(0) & " " & c(1) & " " & c(2)

' The event: the host's ConnectObject may be missing or unable to connect.
Function M_GetExpressionValue(X, Coeffs, Derivs)
  Derivs(0) = 1
  Derivs(1) = X
  M_GetExpressionValue = Coeffs(0) + Coeffs(1) * X
End Function
On Error Resume Next
WScript.ConnectObject m, "M_"
If Err.Number <> 0 Then
  WScript.Echo "note: WScript.ConnectObject failed: " & Hex(Err.Number) & " " & Err.Description
  Err.Clear
Else
  On Error GoTo 0
  Set c = Arr(Array(0.5, 0.5))
  ok = m.RegressionCustom(Arr(Array(0, 1, 2, 3)), Arr(Array(1, 3, 5, 7)), 0, 2, _
    Arr(Array(-10, -10)), Arr(Array(10, 10)), c)
  Check ok And Near(c(0), 1) And Near(c(1), 2), "custom fit through the event"
  WScript.Echo "note: VBScript events work: custom fit " & ok & " " & c(0) & " " & c(1)
End If
On Error GoTo 0

If failures = 0 Then WScript.Echo "PASS math"
