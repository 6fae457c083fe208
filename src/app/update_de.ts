<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE" sourcelanguage="en">
<context>
    <name>MainWindow</name>
    <message>
        <source>Tarsyn+ Update</source>
        <translation>Tarsyn+ Aktualisierung</translation>
    </message>
    <message>
        <source>Tarsyn+ information</source>
        <translation>Tarsyn+ Informationen</translation>
    </message>
    <message>
        <source>SN:</source>
        <translation>SN:</translation>
    </message>
    <message>
        <source>Version:</source>
        <translation>Version:</translation>
    </message>
    <message>
        <source>MIDI IN port</source>
        <translation>MIDI-Eingang</translation>
    </message>
    <message>
        <source>MIDI OUT port</source>
        <translation>MIDI-Ausgang</translation>
    </message>
    <message>
        <source>Connect</source>
        <translation>Verbinden</translation>
    </message>
    <message>
        <source>try to connect...</source>
        <translation>Verbinde...</translation>
    </message>
    <message>
        <source>Transfer</source>
        <translation>Senden</translation>
    </message>
    <message>
        <source>TextLabel</source>
        <translation>Textfeld</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Update</translation>
    </message>
    <message>
        <source>Disconnect</source>
        <translation>Trennen</translation>
    </message>
    <message>
        <source>transfer successful, %1 retries</source>
        <translation>Übertragung erfolgreich, %1 Wiederholungen</translation>
    </message>
    <message>
        <source>transfer successful</source>
        <translation>Übertragung erfolgreich</translation>
    </message>
    <message>
        <source>The preset in bank %1, slot %2 could not be written.</source>
        <translation>Das Preset in Bank %1, Platz %2 konnte nicht geschrieben werden.</translation>
    </message>
    <message>
        <source>No MIDI port of a unit was found.</source>
        <translation>Kein MIDI-Port eines Geräts gefunden.</translation>
    </message>
    <message>
        <source>%1: no sequencer device (/dev/snd/seq).</source>
        <translation>%1: kein Sequencer-Gerät (/dev/snd/seq).</translation>
    </message>
    <message>
        <source>%1: the sequencer device cannot be opened: %2.</source>
        <translation>%1: das Sequencer-Gerät lässt sich nicht öffnen: %2.</translation>
    </message>
    <message>
        <source>%1: no server &quot;%2&quot; running.</source>
        <translation>%1: kein Server „%2“ in Betrieb.</translation>
    </message>
    <message>
        <source>%1: no ports but the system&apos;s.</source>
        <translation>%1: keine Ports außer denen des Systems.</translation>
    </message>
    <message>
        <source>The unit does not answer. The update did not complete.</source>
        <translation>Das Gerät antwortet nicht. Die Aktualisierung wurde nicht abgeschlossen.</translation>
    </message>
    <message>
        <source>The MIDI port &quot;%1&quot; has gone.</source>
        <translation>Der MIDI-Port „%1“ ist nicht mehr da.</translation>
    </message>
    <message>
        <source>The update did not complete.</source>
        <translation>Die Aktualisierung wurde nicht abgeschlossen.</translation>
    </message>
    <message>
        <source>The preset transfer did not complete.</source>
        <translation>Die Übertragung der Presets wurde nicht abgeschlossen.</translation>
    </message>
    <message>
        <source>The port &quot;%1&quot; is in use by another Tarsyn+ program on this computer.
Only one program at a time may talk to a unit.</source>
        <translation>Der Port „%1“ wird bereits von einem anderen Tarsyn+-Programm auf diesem Computer verwendet.
Es kann immer nur ein Programm mit einem Gerät kommunizieren.</translation>
    </message>
    <message>
        <source>The unit keeps asking for block 0x%1 again: check the MIDI connection. The update did not complete.</source>
        <translation>Das Gerät fordert Block 0x%1 immer wieder an: Bitte die MIDI-Verbindung prüfen. Die Aktualisierung wurde nicht abgeschlossen.</translation>
    </message>
    <message>
        <source>The unit does not answer. The preset transfer did not complete.</source>
        <translation>Das Gerät antwortet nicht. Die Übertragung der Presets wurde nicht abgeschlossen.</translation>
    </message>
    <message>
        <source>Cannot send to the MIDI port &quot;%1&quot;.</source>
        <translation>An den MIDI-Port „%1“ kann nicht gesendet werden.</translation>
    </message>
</context>
</TS>
