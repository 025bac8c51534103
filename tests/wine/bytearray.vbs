' Quellar.ByteArray through late binding from VBScript.
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

Const vbArrayOfByte = 8209 ' vbArray + vbByte

Dim a, b, d, v, i
Set a = CreateObject("Quellar.ByteArray")
Check TypeName(a) = "IByteArray", "TypeName " & TypeName(a)
Check a.Count = 0, "new Count " & a.Count
v = a.AsVariant
Check VarType(v) = vbArrayOfByte, "empty AsVariant VarType " & VarType(v)
CheckBounds v, 0, -1, "empty AsVariant"

a.Count = 3
Check a.Count = 3 And a(0) = 0 And a(2) = 0, "grown items are zero"
a.Item(0) = 255
a(1) = 1
a(2) = CByte(128)
Check a(0) = 255 And a.Item(1) = 1 And a(2) = 128, "Item put and get"
Check VarType(a(0)) = vbByte, "Item is a byte, VarType " & VarType(a(0))

' AsVariant get: a safe array of unsigned bytes with bounds 0..Count-1.
v = a.AsVariant
Check VarType(v) = vbArrayOfByte, "AsVariant VarType " & VarType(v)
Check IsArray(v), "AsVariant IsArray"
CheckBounds v, 0, 2, "AsVariant"

' Round trip into another byte array.
Set b = CreateObject("Quellar.ByteArray")
b.AsVariant = a.AsVariant
Check b.Count = 3, "round trip Count " & b.Count
If b.Count = 3 Then Check b(0) = 255 And b(1) = 1 And b(2) = 128, "round trip items"
Set b = CreateObject("Quellar.ByteArray")
b.AsVariant = v
Check b.Count = 3, "round trip through a variable, Count " & b.Count

' Arrays of another element type are ignored: variants, and doubles from a DoubleArray.
b.AsVariant = Array(1, 2)
Check b.Count = 3 And b(0) = 255, "array of variants ignored"
Set d = CreateObject("Quellar.DoubleArray")
d.Count = 2
b.AsVariant = d.AsVariant
Check b.Count = 3 And b(0) = 255, "array of doubles ignored"
d.AsVariant = a.AsVariant
Check d.Count = 2, "a DoubleArray ignores an array of bytes"

' CopyFrom.
Set b = CreateObject("Quellar.ByteArray")
b.CopyFrom a
Check b.Count = 3 And b(0) = 255 And b(1) = 1 And b(2) = 128, "CopyFrom"
b.CopyFrom Nothing
Check b.Count = 3, "CopyFrom Nothing"

' Failures: a negative count, a value that is no byte, an index outside the items.
On Error Resume Next
a.Count = -1
Check Err.Number = &H80070057, "Count = -1 raises E_INVALIDARG, got " & Hex(Err.Number)
Check Err.Description = "Count -1 is negative", "Count = -1 description [" & Err.Description & "]"
Check Err.Source = "Quellar.ByteArray", "Count = -1 source [" & Err.Source & "]"
Err.Clear
a(0) = 256
Check Err.Number = 6, "256 is no byte, error " & Err.Number
Err.Clear
a(1) = -1
Check Err.Number = 6, "-1 is no byte, error " & Err.Number
Err.Clear
i = a(3)
Check Err.Number = &H8002000B, "Item(Count) raises DISP_E_BADINDEX, got " & Hex(Err.Number)
Check Err.Description = "Index 3 is outside the array of 3 items", "Item(3) description [" & Err.Description & "]"
Err.Clear
a.Count = 2147483647
Check Err.Number = &H8007000E, "huge Count raises E_OUTOFMEMORY, got " & Hex(Err.Number)
Check Err.Description = "Not enough memory for 2147483647 items", "huge Count description [" & Err.Description & "]"
Err.Clear
On Error GoTo 0
Check a.Count = 3 And a(0) = 255 And a(1) = 1, "contents after failed calls"

If failures > 0 Then
  WScript.Echo failures & " failure(s)"
  WScript.Quit 1
End If
WScript.Echo "PASS bytearray"
WScript.Quit 0
