' Undoes dstpatch on this machine from a backup of the start-up script.
' Windows Script Host only (XP SP2 and later, nothing installed); run it as an
' administrator, with the control server stopped.
'
'   cscript //nologo dstpatch-undo.vbs [FOLDER]
'
' FOLDER is the machine's backup folder, <backup>\<COMPUTERNAME> (default:
' %SystemRoot%\dstpatch\<COMPUTERNAME>), or one run folder in it. Of the run
' folders it takes the first complete one (the oldest that holds
' backup.txt): the later ones saved a machine that the patch had changed
' already. From it:
' - each .reg file is imported: the seven zone keys and the active zone;
' - TIMEZONE in section QUORTECH of <root>\data\pelio.ini and
'   <root>\newdata\pelio.ini is set back to the line that the backup holds,
'   or removed where the backup has none; every other line stays as it is
'   now, so the changes made since the patch are kept;
' - each timezone.ini that was saved and is not there now is copied back.
' The site root is the one that backup.txt names. Exits 0 when all is done,
' 1 when something could not be done (each line says what), 2 on bad input.
Option Explicit

Dim shell, fso
Set shell = CreateObject("WScript.Shell")
Set fso = CreateObject("Scripting.FileSystemObject")

Sub Fail(message)
    WScript.Echo "dstpatch-undo: " & message
    WScript.Echo "usage: cscript //nologo dstpatch-undo.vbs [FOLDER]"
    WScript.Quit 2
End Sub

Function ReadText(path)
    Dim stream
    ReadText = ""
    Set stream = fso.OpenTextFile(path, 1)
    If Not stream.AtEndOfStream Then ReadText = stream.ReadAll
    stream.Close
End Function

Function SplitLines(text)
    SplitLines = Split(Replace(Replace(text, vbCrLf, vbLf), vbCr, vbLf), vbLf)
End Function

' The run folder to restore from FOLDER: itself when it holds backup.txt,
' else its oldest subfolder that does ("" when none).
Function FirstComplete(folder)
    Dim subfolder, name
    FirstComplete = ""
    If fso.FileExists(folder & "\backup.txt") Then
        FirstComplete = folder
        Exit Function
    End If
    name = ""
    For Each subfolder In fso.GetFolder(folder).SubFolders
        If fso.FileExists(subfolder.Path & "\backup.txt") Then
            If name = "" Or subfolder.Name < name Then name = subfolder.Name
        End If
    Next
    If name <> "" Then FirstComplete = folder & "\" & name
End Function

' In LINES, the index of the first TIMEZONE entry of the first section
' QUORTECH (-1: none), and in SECTION the index of that section's header
' (-1: none), as Windows reads profile files.
Function TimezoneEntry(lines, section)
    Dim i, text, equals
    TimezoneEntry = -1
    section = -1
    For i = 0 To UBound(lines)
        text = Trim(Replace(lines(i), vbTab, " "))
        If Left(text, 1) = "[" And InStrRev(text, "]") > 1 Then
            If section >= 0 Then Exit Function
            If UCase(Trim(Mid(text, 2, InStrRev(text, "]") - 2))) = "QUORTECH" Then section = i
        ElseIf section >= 0 Then
            equals = InStr(text, "=")
            If equals > 0 Then
                If UCase(Trim(Left(text, equals - 1))) = "TIMEZONE" Then
                    TimezoneEntry = i
                    Exit Function
                End If
            End If
        End If
    Next
End Function

' Sets the TIMEZONE entry of the file CURRENT back to that of the file SAVED;
' "" when done, else why not.
Function RestoreTimezone(saved, current)
    Dim old, lines, entry, section, oldSection, i, text, value, stream
    On Error Resume Next
    old = SplitLines(ReadText(saved))
    lines = SplitLines(ReadText(current))
    If Err.Number <> 0 Then
        RestoreTimezone = "could not read " & current & " or " & saved & ": " & Err.Description
        Exit Function
    End If
    On Error GoTo 0
    entry = TimezoneEntry(old, oldSection)
    value = ""
    If entry >= 0 Then value = old(entry)
    entry = TimezoneEntry(lines, section)
    text = ""
    For i = 0 To UBound(lines)
        If i = entry Then
            If value <> "" Then text = text & value & vbCrLf
        Else
            text = text & lines(i) & vbCrLf
            If i = section And entry < 0 And value <> "" Then text = text & value & vbCrLf
        End If
    Next
    If section < 0 And value <> "" Then text = text & "[QUORTECH]" & vbCrLf & value & vbCrLf
    ' The last line break of the file was a line of its own after Split.
    If Right(text, 4) = vbCrLf & vbCrLf Then text = Left(text, Len(text) - 2)
    On Error Resume Next
    Set stream = fso.OpenTextFile(current, 2)
    If Err.Number = 0 Then stream.Write text
    If Err.Number = 0 Then stream.Close
    RestoreTimezone = ""
    If Err.Number <> 0 Then RestoreTimezone = "could not write " & current & ": " & Err.Description
End Function

Sub Main()
    Dim folder, run, root, line, file, failed, problem, status, i, names
    If WScript.Arguments.Count > 1 Then Fail "give one folder"
    If WScript.Arguments.Count = 1 Then
        folder = WScript.Arguments(0)
    Else
        folder = shell.Environment("PROCESS")("SystemRoot") & "\dstpatch\" & shell.Environment("PROCESS")("COMPUTERNAME")
    End If
    Do While Len(folder) > 3 And Right(folder, 1) = "\"
        folder = Left(folder, Len(folder) - 1)
    Loop
    If Not fso.FolderExists(folder) Then Fail "the folder " & folder & " does not exist"
    If Not fso.FileExists(shell.Environment("PROCESS")("SystemRoot") & "\System32\reg.exe") Then
        Fail "reg.exe is not in " & shell.Environment("PROCESS")("SystemRoot") & "\System32"
    End If
    run = FirstComplete(folder)
    If run = "" Then Fail "no complete backup (a folder with backup.txt) in " & folder
    root = ""
    names = SplitLines(ReadText(run & "\backup.txt"))
    For Each line In names
        If Left(line, 11) = "Site root: " Then root = Mid(line, 12)
    Next
    If root = "" Then Fail run & "\backup.txt does not name the site root"
    WScript.Echo "Restoring from " & run & " (site root " & root & ")"

    failed = False
    For Each file In fso.GetFolder(run).Files
        If LCase(fso.GetExtensionName(file.Name)) = "reg" Then
            status = shell.Run("reg import """ & file.Path & """", 0, True)
            If status = 0 Then
                WScript.Echo "imported " & file.Name
            Else
                WScript.Echo "FAILED: reg import of " & file.Name & " ended with exit status " & status
                failed = True
            End If
        End If
    Next
    names = Array("data", "newdata")
    For i = 0 To UBound(names)
        If fso.FileExists(run & "\" & names(i) & "\pelio.ini") Then
            problem = RestoreTimezone(run & "\" & names(i) & "\pelio.ini", root & "\" & names(i) & "\pelio.ini")
            If problem = "" Then
                WScript.Echo "TIMEZONE of " & root & "\" & names(i) & "\pelio.ini set back"
            Else
                WScript.Echo "FAILED: " & problem
                failed = True
            End If
        End If
        file = names(i) & "\timezone.ini"
        If fso.FileExists(run & "\" & file) And Not fso.FileExists(root & "\" & file) Then
            On Error Resume Next
            fso.CopyFile run & "\" & file, root & "\" & file, False
            If Err.Number = 0 Then
                WScript.Echo "copied back " & root & "\" & file
            Else
                WScript.Echo "FAILED: could not copy back " & root & "\" & file & ": " & Err.Description
                failed = True
            End If
            On Error GoTo 0
        End If
    Next
    If failed Then WScript.Quit 1
    WScript.Echo "Done. The active zone takes its old dates once it is applied again (see DEPLOY.txt)."
    WScript.Quit 0
End Sub

Main
