' Quellar.DoubleArray through late binding from VBScript, as a script client sees it.
Option Explicit
Dim failures : failures = 0

Sub Check(condition, what)
  If Not condition Then
    failures = failures + 1
    WScript.Echo "FAIL " & what
  End If
End Sub

' Script engines cannot index arrays of a type other than Variant, and some (Wine's) cannot
' take their bounds either; where the engine takes the bounds they must be lo..hi.
Sub CheckBounds(arr, lo, hi, what)
  Dim l, u
  On Error Resume Next
  l = LBound(arr)
  u = UBound(arr)
  If Err.Number <> 0 Then
    WScript.Echo "note: no bounds of a typed array in this engine (" & what & ")"
    Exit Sub
  End If
  On Error GoTo 0
  Check l = lo And u = hi, what & " bounds " & l & ".." & u
End Sub

Const vbArrayOfDouble = 8197 ' vbArray + vbDouble

Dim a, b, c, v, i
Set a = CreateObject("Quellar.DoubleArray")
' The type name comes from the type information embedded in the DLL.
Check TypeName(a) = "IDoubleArray", "TypeName " & TypeName(a)

' A new array is empty and its statistics are the start values.
Check a.Count = 0, "new Count " & a.Count
Check a.Sum = 0, "empty Sum"
Check a.Mean = 0, "empty Mean"
Check a.Min = 1.7E+308, "empty Min " & a.Min
Check a.Max = -1.7E+308, "empty Max " & a.Max
Check a.MinIndex = -1, "empty MinIndex"
Check a.MaxIndex = -1, "empty MaxIndex"
v = a.AsVariant
Check VarType(v) = vbArrayOfDouble, "empty AsVariant VarType " & VarType(v)
CheckBounds v, 0, -1, "empty AsVariant"

' Count, Item put and get, the default member.
a.Count = 4
Check a.Count = 4, "Count after put"
For i = 0 To 3
  Check a.Item(i) = 0, "grown item " & i & " is zero"
Next
a.Item(0) = -5
a(1) = 2.5
a(2) = 7
a.Item(3) = 7
Check a(0) = -5, "a(0)"
Check a.Item(1) = 2.5, "Item(1)"
Check a(2) = 7 And a(3) = 7, "a(2), a(3)"
Check a("1") = 2.5, "index coerced from a string"

' Statistics: strict comparisons pick the first of equal extremes.
Check a.Sum = 11.5, "Sum " & a.Sum
Check a.Mean = 2.875, "Mean " & a.Mean
Check a.Min = -5 And a.MinIndex = 0, "Min/MinIndex " & a.Min & "/" & a.MinIndex
Check a.Max = 7 And a.MaxIndex = 2, "Max/MaxIndex " & a.Max & "/" & a.MaxIndex

' AsVariant get: a safe array of doubles with bounds 0..Count-1.
v = a.AsVariant
Check VarType(v) = vbArrayOfDouble, "AsVariant VarType " & VarType(v)
Check IsArray(v), "AsVariant IsArray"
CheckBounds v, 0, 3, "AsVariant"

' Round trip: AsVariant get of one array put into another, directly and through a variable
' (which the script passes by reference).
Set b = CreateObject("Quellar.DoubleArray")
b.AsVariant = a.AsVariant
Check b.Count = 4, "round trip Count " & b.Count
If b.Count = 4 Then Check b(0) = -5 And b(1) = 2.5 And b(2) = 7 And b(3) = 7, "round trip items"
Set c = CreateObject("Quellar.DoubleArray")
c.Count = 9
c.AsVariant = v
Check c.Count = 4, "round trip through a variable, Count " & c.Count
If c.Count = 4 Then Check c(0) = -5 And c(3) = 7, "round trip through a variable, items"

' An empty safe array is ignored: the contents stay.
c.AsVariant = CreateObject("Quellar.DoubleArray").AsVariant
Check c.Count = 4, "empty safe array ignored, Count " & c.Count

' A VBScript array is an array of variants: ignored, the contents stay.
b.AsVariant = Array(1, 2, 3)
Check b.Count = 4 And b(1) = 2.5, "array of variants ignored"
b.AsVariant = 12
Check b.Count = 4, "scalar ignored"

' CopyFrom another object of the interface; Nothing changes nothing.
Set c = CreateObject("Quellar.DoubleArray")
c.CopyFrom a
Check c.Count = 4, "CopyFrom Count " & c.Count
Check c(0) = -5 And c(1) = 2.5 And c(2) = 7 And c(3) = 7, "CopyFrom items"
c(0) = 100
Check a(0) = -5, "CopyFrom copies, does not share"
c.CopyFrom Nothing
Check c.Count = 4 And c(0) = 100, "CopyFrom Nothing"
c.CopyFrom c
Check c.Count = 4 And c(0) = 100 And c(3) = 7, "CopyFrom itself"

' Shrinking keeps the first items, growing adds zeros.
a.Count = 2
Check a.Count = 2 And a(0) = -5 And a(1) = 2.5, "shrink"
a.Count = 3
Check a(2) = 0, "regrow with zero"
Check a.Sum = -2.5, "Sum after resize " & a.Sum

' Failures arrive as script errors carrying the library's message and the object's
' programmatic identifier; the contents stay.
On Error Resume Next
a.Count = -1
Check Err.Number = &H80070057, "Count = -1 raises E_INVALIDARG, got " & Hex(Err.Number)
Check Err.Description = "Count -1 is negative", "Count = -1 description [" & Err.Description & "]"
Check Err.Source = "Quellar.DoubleArray", "Count = -1 source [" & Err.Source & "]"
Err.Clear
Check a.Count = 3 And a(0) = -5, "Count = -1 leaves the contents"
i = a(3)
Check Err.Number = &H8002000B, "Item(Count) raises DISP_E_BADINDEX, got " & Hex(Err.Number)
Check Err.Description = "Index 3 is outside the array of 3 items", "Item(3) description [" & Err.Description & "]"
Err.Clear
a(-1) = 1
Check Err.Number = &H8002000B, "Item(-1) put raises DISP_E_BADINDEX, got " & Hex(Err.Number)
Err.Clear
a(0) = "not a number"
Check Err.Number = 13, "Item put of a text, error " & Err.Number
Err.Clear
i = a.NoSuchMember
Check Err.Number = 438, "unknown member, error " & Err.Number
Err.Clear
a.Count = 2147483647
Check Err.Number = &H8007000E, "huge Count raises E_OUTOFMEMORY, got " & Hex(Err.Number)
Check Err.Description = "Not enough memory for 2147483647 items", "huge Count description [" & Err.Description & "]"
Err.Clear
On Error GoTo 0
Check a.Count = 3 And a(0) = -5 And a(2) = 0, "contents after failed calls"

If failures > 0 Then
  WScript.Echo failures & " failure(s)"
  WScript.Quit 1
End If
WScript.Echo "PASS doublearray"
WScript.Quit 0
