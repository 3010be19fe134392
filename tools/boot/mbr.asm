; Kestrova's standard MBR boot code: the 446 bytes the partition repair writes
; over bytes 0..445 of sector 0 (the partition table and the 55 AA signature
; that follow are not part of it).
;
; The BIOS loads sector 0 at 0000:7C00 and jumps there with DL = boot drive.
; This code moves itself to 0000:0600 to free 7C00 for the partition's boot
; sector, picks the one entry of the four at offset 446 whose boot flag is
; 0x80, reads that partition's first sector to 0000:7C00 (INT 13h extensions,
; CHS from the entry when the BIOS lacks them), checks its 55 AA signature
; and jumps to it with DL = drive and DS:SI (and BP) = the entry, which is
; what boot sectors expect. On failure it prints one line and halts.
;
; Build: nasm -f bin -o mbr.bin mbr.asm   (exactly 446 bytes)
; The bytes are committed in src/tools/mbr_boot_code.cpp; a test checks that
; they match this source.
;
; Assembling with -DKESTROVA_FORCE_CHS leaves out the extension probe; the
; boot test uses that variant to exercise the CHS path on a BIOS that has
; the extensions. The shipped bytes are built without it.

        bits 16
        cpu 8086                ; nothing newer: the code must run on any PC BIOS
        org 0x0600

RELOC   equ 0x0600              ; where this sector runs after the move
LOAD    equ 0x7C00              ; where the BIOS put it; the boot sector goes there
TABLE   equ RELOC + 446         ; the four partition entries (0x07BE)
ENTRY   equ 16
ATTEMPTS equ 5                  ; reads per boot sector (floppy-era drives need retries)

start:
        ; The repair recognises this code by its first bytes 33 C0 8E D0 BC 00 7C.
        ; nasm encodes "xor ax, ax" as 31 C0, so the 33 /r form is spelled out.
        db 0x33, 0xC0           ; xor ax, ax
        mov ss, ax
        mov sp, LOAD            ; the stack grows down below 7C00
        mov ds, ax
        mov es, ax
        cld
        mov si, LOAD
        mov di, RELOC
        mov cx, 256
        rep movsw
        jmp 0:relocated         ; far jump: CS = 0 whatever the BIOS used

relocated:
        sti
        mov [drive], dl

        ; Exactly one entry may be active. A flag other than 0x00 or 0x80, or
        ; two active entries, means the table is damaged: do not guess.
        mov si, TABLE
        xor bp, bp
        mov cx, 4
.scan:
        mov al, [si]
        test al, al
        jz .next
        cmp al, 0x80
        jne invalid
        test bp, bp
        jnz invalid
        mov bp, si
.next:
        add si, ENTRY
        loop .scan
        test bp, bp
        jz no_active

        mov di, ATTEMPTS
read:
        mov dl, [drive]
%ifndef KESTROVA_FORCE_CHS
        mov ah, 0x41            ; extensions present?
        mov bx, 0x55AA
        int 0x13
        jc .chs
        cmp bx, 0xAA55
        jne .chs
        test cl, 1              ; the packet interface (AH=42h) is offered
        jz .chs
        mov si, dap
        mov ax, [bp + 8]        ; the entry's first sector (LBA, 32 bits)
        mov [si + 8], ax
        mov ax, [bp + 10]
        mov [si + 10], ax
        mov ah, 0x42
        mov dl, [drive]
        int 0x13
        jmp .done
%endif
.chs:
        mov ax, 0x0201          ; read one sector
        mov bx, LOAD            ; to ES:BX = 0000:7C00
        mov dl, [drive]
        mov dh, [bp + 1]        ; head
        mov cx, [bp + 2]        ; CL = sector and cylinder bits 8-9, CH = cylinder bits 0-7
        int 0x13
.done:
        jnc loaded
        xor ax, ax              ; reset the drive and try again
        mov dl, [drive]
        int 0x13
        dec di
        jnz read
        mov si, msg_read
        jmp fail

loaded:
        mov si, msg_missing
        cmp word [LOAD + 510], 0xAA55
        jne fail
        mov si, bp              ; DS:SI = the active entry (in this relocated copy)
        mov dl, [drive]
        jmp 0:LOAD

invalid:
        mov si, msg_invalid
        jmp fail
no_active:
        mov si, msg_no_active
fail:
        lodsb
        test al, al
        jz halt
        mov ah, 0x0E            ; teletype output, page 0
        mov bx, 0x0007
        int 0x10
        jmp fail
halt:
        hlt                     ; interrupts stay on: Ctrl+Alt+Del still restarts
        jmp halt

dap:                            ; disk address packet for AH=42h
        db 16, 0
        dw 1                    ; one sector
        dw LOAD, 0              ; to 0000:7C00
        dd 0, 0                 ; LBA, filled in from the entry
drive:  db 0x80

msg_invalid:   db "Invalid partition table", 0
msg_no_active: db "No active partition", 0
msg_read:      db "Error loading operating system", 0
msg_missing:   db "Missing operating system", 0

; Bytes 440..445 hold the disk signature on most disks; the code stays
; below them so that a repair can keep the signature the installed system
; may look for.
%if ($ - $$) > 440
%error "MBR boot code reaches the disk signature at offset 440"
%endif
        times 446 - ($ - $$) db 0
